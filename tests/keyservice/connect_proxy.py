#!/usr/bin/env python3
"""A small HTTP proxy for the tests: CONNECT tunnels, and proxy scripts (PAC).

    connect_proxy.py start --dir DIR --address A --port P [--map FROM=TO ...]
    connect_proxy.py stop --dir DIR
    connect_proxy.py serve ...   (what start runs)

It tunnels CONNECT requests to loopback addresses only; --map sends a tunnel
for address FROM to address TO instead (same port), so that a service can be
addressed by an address that nothing listens on and only the proxy reaches.
Everything goes through the control directory DIR:
  tunnels.log       one line per CONNECT, appended before it is answered:
                      "127.0.0.99:443 -> 127.0.0.4:443" (tunnelled), or
                      "127.0.0.99:443 407" / "... 403" / "... 502" (refused)
  require_auth      while this file exists, every CONNECT is answered 407
  NAME.pac          served for "GET /NAME.pac" (404 while it is missing)
  address           "A:P" while the proxy listens
  service.pid, service.log
It ends on SIGTERM (stop) and by itself once the test run that started it has
gone, as the key service does (keyservice.py, whose helpers it uses).
"""

import argparse
import ipaddress
import os
import select
import socket
import socketserver
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import keyservice  # noqa: E402  (process ownership and start-up helpers)

HEAD_LIMIT = 65536
IDLE_SECONDS = 30
UPSTREAM_CONNECT_SECONDS = 5


def is_loopback(host):
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False  # a name: never resolved here


class Proxy(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, directory, address, port, mapping):
        self.directory = directory
        self.mapping = mapping
        self.lock = threading.Lock()
        super().__init__((address, port), Handler)
        keyservice.write_atomically(os.path.join(directory, "address"), "%s:%d\n" % (address, port))

    def log_tunnel(self, line):
        with self.lock:
            with open(os.path.join(self.directory, "tunnels.log"), "a", encoding="utf-8") as f:
                f.write(line + "\n")


class Handler(socketserver.BaseRequestHandler):
    def read_head(self):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self.request.recv(4096)
            if not chunk or len(data) > HEAD_LIMIT:
                return None
            data += chunk
        return data.split(b"\r\n\r\n", 1)[0].decode("latin-1")

    def answer(self, status, reason, extra="", body=b""):
        head = "HTTP/1.1 %d %s\r\n%sContent-Length: %d\r\nConnection: close\r\n\r\n" % (
            status, reason, extra, len(body))
        self.request.sendall(head.encode("latin-1") + body)

    def handle(self):
        self.request.settimeout(IDLE_SECONDS)
        head = self.read_head()
        if head is None:
            return
        method, target = (head.split("\r\n", 1)[0].split(" ") + ["", ""])[:2]
        print("%s %s" % (method, target), file=sys.stderr, flush=True)
        if method == "CONNECT":
            self.tunnel(target)
        elif method == "GET":
            self.serve_script(target)
        else:
            self.answer(405, "Method Not Allowed")

    def serve_script(self, target):
        name = os.path.basename(target.split("?", 1)[0])
        path = os.path.join(self.server.directory, name)
        if not name.endswith(".pac") or not os.path.isfile(path):
            self.answer(404, "Not Found")
            return
        with open(path, "rb") as f:
            self.answer(200, "OK", "Content-Type: application/x-ns-proxy-autoconfig\r\n", f.read())

    def refuse(self, target, status, reason, extra=""):
        self.server.log_tunnel("%s %d" % (target, status))
        self.answer(status, reason, extra)

    def tunnel(self, target):
        host, _, port = target.rpartition(":")
        host = host.strip("[]")
        if os.path.exists(os.path.join(self.server.directory, "require_auth")):
            self.refuse(target, 407, "Proxy Authentication Required",
                        "Proxy-Authenticate: Basic realm=\"tollbury-tests\"\r\n")
            return
        upstream_host = self.server.mapping.get(host, host)
        if not is_loopback(upstream_host) or not port.isdigit():
            self.refuse(target, 403, "Forbidden")  # never leave this machine
            return
        try:
            upstream = socket.create_connection((upstream_host, int(port)), UPSTREAM_CONNECT_SECONDS)
        except OSError:
            self.refuse(target, 502, "Bad Gateway")
            return
        with upstream:
            self.server.log_tunnel("%s -> %s:%s" % (target, upstream_host, port))
            self.request.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            self.relay(upstream)

    def relay(self, upstream):
        peers = {self.request: upstream, upstream: self.request}
        while True:
            ready, _, _ = select.select(list(peers), [], [], IDLE_SECONDS)
            if not ready:
                return
            for side in ready:
                try:
                    data = side.recv(65536)
                    if not data:
                        return
                    peers[side].sendall(data)
                except OSError:
                    return


def serve(arguments):
    mapping = dict(item.split("=", 1) for item in arguments.map)
    server = Proxy(arguments.dir, arguments.address, arguments.port, mapping)
    return keyservice.run_server(server, arguments, "proxy")


def accepts_connections(address, port):
    try:
        with socket.create_connection((address, port), timeout=2):
            return True
    except OSError:
        return False


def start(arguments):
    os.makedirs(arguments.dir, exist_ok=True)
    if not keyservice.wait_for_leftover(arguments):
        return 1
    for name in os.listdir(arguments.dir):
        if name != "service.log":
            os.remove(os.path.join(arguments.dir, name))
    owner = keyservice.owning_run()
    command = [sys.executable, os.path.abspath(__file__), "serve", "--dir", arguments.dir,
               "--address", arguments.address, "--port", str(arguments.port),
               "--owner", str(owner[0]), "--owner-start", str(owner[1])]
    for item in arguments.map:
        command += ["--map", item]
    return keyservice.launch_server(command, arguments, accepts_connections,
                                    lambda pid: "proxy %d listening on %s:%d, control directory %s"
                                    % (pid, arguments.address, arguments.port, arguments.dir),
                                    "proxy")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=("start", "stop", "serve"))
    parser.add_argument("--dir", required=True)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--map", action="append", default=[])
    parser.add_argument("--owner", type=int, default=0)
    parser.add_argument("--owner-start", type=int, default=0)
    arguments = parser.parse_args()
    arguments.dir = os.path.abspath(arguments.dir)
    if not is_loopback(arguments.address) or \
            not all(is_loopback(a) for item in arguments.map for a in item.split("=", 1)):
        parser.error("the proxy listens on, and tunnels to, loopback addresses only")
    if arguments.action == "stop":
        return keyservice.stop(arguments)
    return {"start": start, "serve": serve}[arguments.action](arguments)


if __name__ == "__main__":
    sys.exit(main())
