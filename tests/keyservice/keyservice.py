#!/usr/bin/env python3
"""Scripted HTTPS key service for the tests.

    keyservice.py start --dir DIR [--address A] [--port P] [--openssl PATH]
    keyservice.py stop --dir DIR
    keyservice.py serve --dir DIR --address A --port P   (what start runs)

Everything goes through the control directory DIR:
  replies/NNNNNN.txt   replies to give, taken lowest name first, one per request.
                       Lines of "key value":
                         status 302
                         header Location: /elsewhere      (repeatable)
                         body_hex 7b7d
                         gzip if-accepted | always        (compress the body)
                         content_length 1000              (declared length, may lie)
                         length none                      (no length; close ends the body)
                         delay_ms 1500                    (wait before answering)
                         drop 1                           (close without answering)
                         raw_hex 48454c4c4f               (send these bytes, then close)
                       With no reply queued the service answers 503.
  requests/NNNNNN.txt  one per request, written before the reply is sent:
                         method POST / path /x / header Name: value ... / body_hex ...
                       and "body_complete 0" when the connection ended before
                       the declared body had arrived (nothing is answered then).
  certificate          "ca-signed": new connections get leaf.pem, issued by
                       ca.pem for CN=<address>; otherwise the self-signed cert.pem.
  connections          "accepted N" and "open M": TCP connections so far and now.
  address              the address the service listens on, while it listens.
  service.pid          "server-pid owner-pid owner-start-time", while it listens.
  service.log, cert.pem, key.pem, ca.pem, leaf.pem (same key as cert.pem)
  pin.txt              "sha256//<base64 of the SHA-256 of the key's SubjectPublicKeyInfo>"
The service ends on SIGTERM (stop) and by itself as soon as the test run that
started it (the nearest ctest above start, else start's parent) has gone.
Write files into replies/ under another name first and rename them into place.
"""

import argparse
import base64
import gzip
import hashlib
import http.server
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

LIFETIME_SECONDS = 4 * 3600
CONNECTION_TIMEOUT_SECONDS = 30
START_TIMEOUT_SECONDS = 20
STOP_TIMEOUT_SECONDS = 10


def write_atomically(path, text):
    temporary = path + ".tmp%d" % threading.get_ident()
    with open(temporary, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.replace(temporary, path)


def parse_reply(text):
    reply = {"status": 200, "headers": [], "body": b"", "gzip": None,
             "content_length": None, "length_none": False, "delay_ms": 0,
             "drop": False, "raw": None}
    for line in text.splitlines():
        key, _, value = line.partition(" ")
        if key == "status":
            reply["status"] = int(value)
        elif key == "header":
            name, _, header_value = value.partition(":")
            reply["headers"].append((name.strip(), header_value.strip()))
        elif key == "body_hex":
            reply["body"] = bytes.fromhex(value)
        elif key == "gzip":
            reply["gzip"] = value.strip()
        elif key == "content_length":
            reply["content_length"] = int(value)
        elif key == "length" and value.strip() == "none":
            reply["length_none"] = True
        elif key == "delay_ms":
            reply["delay_ms"] = int(value)
        elif key == "drop":
            reply["drop"] = value.strip() == "1"
        elif key == "raw_hex":
            reply["raw"] = bytes.fromhex(value)
    return reply


class KeyService(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, directory, address, port, context, ca_signed_context):
        self.directory = directory
        self.ca_signed_context = ca_signed_context
        self.lock = threading.Lock()
        self.accepted = 0
        self.open = 0
        self.recorded = 0
        super().__init__((address, port), Handler)
        # The handshake happens in the connection's own thread, so a client
        # that never completes it cannot hold up accept().
        self.socket = context.wrap_socket(self.socket, server_side=True,
                                          do_handshake_on_connect=False)
        for sub in ("replies", "requests"):
            os.makedirs(os.path.join(directory, sub), exist_ok=True)
        self.write_connections()
        write_atomically(os.path.join(directory, "address"), address + "\n")

    def write_connections(self):
        write_atomically(os.path.join(self.directory, "connections"),
                         "accepted %d\nopen %d\n" % (self.accepted, self.open))

    def count_connection(self, change):
        with self.lock:
            if change > 0:
                self.accepted += 1
            self.open += change
            self.write_connections()

    def process_request_thread(self, request, client_address):
        self.count_connection(+1)
        try:
            super().process_request_thread(request, client_address)
        finally:
            self.count_connection(-1)

    def handle_error(self, request, client_address):
        print("connection from %s ended: %s" % (client_address, sys.exc_info()[1]),
              file=sys.stderr, flush=True)

    def take_reply(self):
        folder = os.path.join(self.directory, "replies")
        with self.lock:
            names = sorted(n for n in os.listdir(folder) if n.endswith(".txt"))
            for name in names:
                path = os.path.join(folder, name)
                try:
                    with open(path, encoding="utf-8") as f:
                        text = f.read()
                    os.remove(path)
                except FileNotFoundError:
                    continue  # reset by a test meanwhile
                return parse_reply(text)
        return None

    def record(self, method, path, headers, body, complete=True):
        lines = ["method " + method, "path " + path]
        lines += ["header %s: %s" % (name, value) for name, value in headers]
        lines.append("body_hex " + body.hex())
        if not complete:
            lines.append("body_complete 0")
        with self.lock:
            self.recorded += 1
            name = "%06d.txt" % self.recorded
            write_atomically(os.path.join(self.directory, "requests", name),
                             "\n".join(lines) + "\n")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TollburyKeyService/1"

    def version_string(self):
        return self.server_version

    def setup(self):
        self.request.settimeout(CONNECTION_TIMEOUT_SECONDS)
        try:
            with open(os.path.join(self.server.directory, "certificate")) as f:
                if f.read().strip() == "ca-signed":
                    self.request.context = self.server.ca_signed_context
        except FileNotFoundError:
            pass
        self.request.do_handshake()
        super().setup()

    def log_message(self, format, *args):
        print("%s %s" % (self.address_string(), format % args), file=sys.stderr, flush=True)

    def read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return body, True
                body += self.rfile.read(size)
                self.rfile.readline()
        declared = int(self.headers.get("Content-Length") or 0)
        body = b""
        try:
            while len(body) < declared:
                chunk = self.rfile.read1(declared - len(body))
                if not chunk:
                    break
                body += chunk
        except OSError:
            pass  # a time-out or a reset: what arrived is recorded
        return body, len(body) == declared

    def answer(self):
        body, complete = self.read_body()
        self.server.record(self.command, self.path, list(self.headers.items()), body, complete)
        if not complete:
            self.close_connection = True
            return
        reply = self.server.take_reply()
        if reply is None:
            reply = parse_reply("status 503\nbody_hex " + b"no reply queued".hex())
        if reply["delay_ms"]:
            time.sleep(reply["delay_ms"] / 1000.0)
        if reply["drop"]:
            self.close_connection = True
            return
        if reply["raw"] is not None:
            self.wfile.write(reply["raw"])
            self.wfile.flush()
            self.close_connection = True
            return
        self.send_reply(reply)

    def send_reply(self, reply):
        payload = reply["body"]
        accepts_gzip = "gzip" in self.headers.get("Accept-Encoding", "").lower()
        compress = reply["gzip"] == "always" or (reply["gzip"] == "if-accepted" and accepts_gzip)
        if compress:
            payload = gzip.compress(payload)
        self.send_response(reply["status"])
        for name, value in reply["headers"]:
            self.send_header(name, value)
        if compress:
            self.send_header("Content-Encoding", "gzip")
        cut_off = reply["content_length"] is not None and reply["content_length"] > len(payload)
        if reply["length_none"] or cut_off:
            self.close_connection = True
            self.send_header("Connection", "close")
        if not reply["length_none"]:
            declared = reply["content_length"]
            self.send_header("Content-Length", str(len(payload) if declared is None else declared))
        self.end_headers()
        self.wfile.write(payload)
        self.wfile.flush()

    do_POST = do_GET = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = answer


def process_identity(pid):
    """(pid, start time) of a live process, or None; the start time tells a
    reused pid apart."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rpartition(")")[2].split()
        return (pid, int(fields[19]))
    except (OSError, ValueError, IndexError):
        return None


def parent_of(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return int(f.read().rpartition(")")[2].split()[1])
    except (OSError, ValueError, IndexError):
        return 0


def process_name(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return ""


def owning_run():
    """The test run this command belongs to: the nearest ctest above it, else
    the process that started it."""
    pid = os.getppid()
    while pid > 1:
        if process_name(pid) == "ctest":
            return process_identity(pid)
        pid = parent_of(pid)
    return process_identity(os.getppid())


def read_service_file(directory):
    """(server pid, owner identity) from service.pid, or None."""
    try:
        with open(os.path.join(directory, "service.pid")) as f:
            server, owner, owner_start = (int(x) for x in f.read().split())
        return server, (owner, owner_start)
    except (OSError, ValueError):
        return None


def server_alive(pid, directory):
    """Whether pid is still this control directory's service (not a reused pid)."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            command = f.read().split(b"\0")
    except OSError:
        return False
    return b"serve" in command and directory.encode() in command


def serve(arguments):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(arguments.dir, "cert.pem"),
                            os.path.join(arguments.dir, "key.pem"))
    ca_signed_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ca_signed_context.load_cert_chain(os.path.join(arguments.dir, "leaf.pem"),
                                      os.path.join(arguments.dir, "key.pem"))
    server = KeyService(arguments.dir, arguments.address, arguments.port, context, ca_signed_context)
    return run_server(server, arguments, "key service")


def run_server(server, arguments, what):
    """Serves until stopped by a signal, or until the test run that started
    it is gone or LIFETIME_SECONDS have passed, whichever comes first."""
    owner = (arguments.owner, arguments.owner_start)
    # Written only once the address is ours, so that a start that lost the
    # address to another run never claims the service.
    write_atomically(os.path.join(arguments.dir, "service.pid"),
                     "%d %d %d\n" % (os.getpid(), owner[0], owner[1]))
    started = time.monotonic()

    def shut_down(*_):
        threading.Thread(target=server.shutdown, daemon=True).start()

    def watchdog():
        # Never outlive the test run that started us, even when it was killed
        # before its stop step.
        while True:
            time.sleep(1)
            if process_identity(owner[0]) != owner:
                print("the test run that started me is gone: leaving", file=sys.stderr, flush=True)
                break
            if time.monotonic() - started > LIFETIME_SECONDS:
                print("running too long: leaving", file=sys.stderr, flush=True)
                break
        shut_down()

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, shut_down)
    threading.Thread(target=watchdog, daemon=True).start()
    print("%s listening on %s:%d" % (what, arguments.address, arguments.port), file=sys.stderr, flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
        recorded = read_service_file(arguments.dir)
        if recorded is not None and recorded[0] == os.getpid():
            for name in ("service.pid", "address"):
                try:
                    os.remove(os.path.join(arguments.dir, name))
                except OSError:
                    pass
        print("stopped", file=sys.stderr, flush=True)
    return 0


def terminate(pid, directory):
    os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + STOP_TIMEOUT_SECONDS
    while server_alive(pid, directory) and time.monotonic() < deadline:
        time.sleep(0.1)
    if server_alive(pid, directory):
        os.kill(pid, signal.SIGKILL)


def stop(arguments):
    recorded = read_service_file(arguments.dir)
    if recorded is None or not server_alive(recorded[0], arguments.dir):
        print("key service not running")
        return 0
    server, owner = recorded
    if process_identity(owner[0]) == owner and owner != owning_run():
        print("key service %d belongs to another test run (%d): left running" % (server, owner[0]))
        return 0
    terminate(server, arguments.dir)
    print("key service %d stopped" % server)
    return 0


def run_openssl(arguments, *options, **keywords):
    return subprocess.run([arguments.openssl] + list(options), check=True,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=60, **keywords).stdout


def make_certificate(arguments):
    def path(name):
        return os.path.join(arguments.dir, name)
    # Self-signed and issued for a name that is not the service's address.
    run_openssl(arguments, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=tollbury-keyservice.invalid",
                "-keyout", path("key.pem"), "-out", path("cert.pem"))
    # A test CA and a leaf it issued for the service's address, with the same
    # key, so that one pin fits both certificates. The address is only in the
    # common name: Wine ignores IP addresses in the subject alternative name
    # and then finds no name at all.
    run_openssl(arguments, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=Tollbury Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                "-keyout", path("ca-key.pem"), "-out", path("ca.pem"))
    with open(path("leaf.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n")
    run_openssl(arguments, "req", "-new", "-key", path("key.pem"), "-subj", "/CN=" + arguments.address,
                "-out", path("leaf.csr"))
    run_openssl(arguments, "x509", "-req", "-in", path("leaf.csr"), "-CA", path("ca.pem"),
                "-CAkey", path("ca-key.pem"), "-CAcreateserial", "-days", "2",
                "-extfile", path("leaf.ext"), "-out", path("leaf.pem"))
    key_info = run_openssl(arguments, "pkey", "-in", path("key.pem"), "-pubout", "-outform", "der")
    pin = "sha256//" + base64.b64encode(hashlib.sha256(key_info).digest()).decode()
    write_atomically(path("pin.txt"), pin + "\n")


def clear_folder(folder):
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))


def accepts_tls(address, port):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    try:
        with socket.create_connection((address, port), timeout=2) as plain:
            with context.wrap_socket(plain) as secure:
                return secure.version() is not None
    except OSError:
        return False


def wait_for_leftover(arguments):
    """False when this tree's service still runs for another live test run."""
    deadline = time.monotonic() + 3
    while True:
        recorded = read_service_file(arguments.dir)
        if recorded is None or not server_alive(recorded[0], arguments.dir):
            return True
        if time.monotonic() >= deadline:
            break
        time.sleep(0.2)
    server, owner = recorded
    if process_identity(owner[0]) == owner:
        print("the key service of this build tree (pid %d) serves another test run (pid %d); "
              "run the tests that need it one run at a time" % (server, owner[0]), file=sys.stderr)
        return False
    terminate(server, arguments.dir)
    return True


def start(arguments):
    os.makedirs(arguments.dir, exist_ok=True)
    if not wait_for_leftover(arguments):
        return 1
    for sub in ("replies", "requests"):
        clear_folder(os.path.join(arguments.dir, sub))
    for name in ("connections", "service.pid", "address", "certificate"):
        if os.path.exists(os.path.join(arguments.dir, name)):
            os.remove(os.path.join(arguments.dir, name))
    make_certificate(arguments)
    owner = owning_run()
    command = [sys.executable, os.path.abspath(__file__), "serve",
               "--dir", arguments.dir, "--address", arguments.address,
               "--port", str(arguments.port),
               "--owner", str(owner[0]), "--owner-start", str(owner[1])]
    return launch_server(command, arguments, accepts_tls,
                         lambda pid: "key service %d listening on %s:%d for test run %d, control directory %s"
                         % (pid, arguments.address, arguments.port, owner[0], arguments.dir),
                         "key service")


def launch_server(command, arguments, ready, listening_text, what):
    """Starts `command` as a detached server logging to service.log in the
    control directory and waits until it has recorded itself and `ready`
    accepts a connection; listening_text(pid) is printed then."""
    log_path = os.path.join(arguments.dir, "service.log")
    with open(log_path, "w") as log:
        child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                 start_new_session=True, close_fds=True)
    deadline = time.monotonic() + START_TIMEOUT_SECONDS
    while time.monotonic() < deadline and child.poll() is None:
        recorded = read_service_file(arguments.dir)
        if recorded is not None and recorded[0] == child.pid and \
                ready(arguments.address, arguments.port):
            print(listening_text(child.pid))
            return 0
        time.sleep(0.1)
    print(what + " did not start:", file=sys.stderr)
    with open(log_path) as f:
        sys.stderr.write(f.read()[-4000:])
    if child.poll() is None:
        child.kill()
        child.wait(timeout=STOP_TIMEOUT_SECONDS)
    return 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=("start", "stop", "serve"))
    parser.add_argument("--dir", required=True)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=443)
    parser.add_argument("--openssl", default="openssl")
    parser.add_argument("--owner", type=int, default=0)
    parser.add_argument("--owner-start", type=int, default=0)
    arguments = parser.parse_args()
    arguments.dir = os.path.abspath(arguments.dir)
    if not arguments.address.startswith("127."):
        parser.error("the key service listens on loopback addresses only")
    return {"start": start, "stop": stop, "serve": serve}[arguments.action](arguments)


if __name__ == "__main__":
    sys.exit(main())
