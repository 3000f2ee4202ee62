#!/usr/bin/env python3
"""The publisher's tools: scripts/update-key.py against the openssl command, and the feed that
scripts/write-appcast.py writes, read back with an XML parser as the update framework reads it.
Usage: publish_test.py OUT_DIR"""
import base64
import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

from package_test import check, failures

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
SPARKLE = "{http://www.andymatuschak.org/xml-namespaces/sparkle}"


def tool(name, *args):
    return subprocess.run((sys.executable, os.path.join(SCRIPTS, name)) + args, capture_output=True, text=True)


def main(out):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    os.umask(0o022)  # so that only the tool's own mode can keep the key private
    key, installer, changed = (os.path.join(out, n) for n in ("update.pem", "client.msi", "changed.msi"))
    public = tool("update-key.py", "keygen", key).stdout.strip()
    check(os.stat(key).st_mode & 0o777 == 0o600, "the private key file is its owner's alone")
    check(tool("update-key.py", "keygen", key).returncode == 2 and tool("update-key.py", "public", key).stdout.strip()
          == public, "an existing key is refused and kept")
    content = bytearray(os.urandom(5000))
    with open(installer, "wb") as f:
        f.write(content)
    content[2500] ^= 1
    with open(changed, "wb") as f:
        f.write(content)
    signature = tool("update-key.py", "sign", key, installer).stdout.strip()
    pem, raw = os.path.join(out, "public.pem"), os.path.join(out, "signature")
    subprocess.run(("openssl", "pkey", "-in", key, "-pubout", "-out", pem), check=True)
    with open(raw, "wb") as f:
        f.write(base64.b64decode(signature))
    for path, verifies in ((installer, True), (changed, False)):
        by_openssl = subprocess.run(("openssl", "pkeyutl", "-verify", "-pubin", "-inkey", pem, "-rawin", "-in", path,
                                     "-sigfile", raw), capture_output=True).returncode == 0
        by_tool = tool("update-key.py", "verify", public, path, signature).returncode
        check(by_openssl == verifies and by_tool == (0 if verifies else 1),
              f"{os.path.basename(path)}: the signature {'verifies' if verifies else 'fails'} (openssl, the tool)")

    feed = os.path.join(out, "site", "client", "appcast.xml")
    url = "https://updates.example.com/client/"
    # (arguments, exit code, the items' versions afterwards, first item's installerArguments)
    cases = [(["--version", "3.6.2", "--url", url + "a.msi", "--key", key, "--installer-arguments", "/passive /qn"],
              0, ["3.6.2"], "/passive /qn"),
             (["--version", "3.10.0", "--url", url + "b.msi"], 0, ["3.10.0", "3.6.2"], None),
             (["--version", "3.9.1", "--url", url + "c.msi"], 0, ["3.10.0", "3.9.1", "3.6.2"], None),
             (["--version", "3.9.1", "--url", url + "c.msi"], 2, ["3.10.0", "3.9.1", "3.6.2"], None),
             (["--version", "4.0.0", "--url", url + "d.msi", "--installer-arguments", "/passive TRANSFORMS=x.mst"],
              2, ["3.10.0", "3.9.1", "3.6.2"], None),
             (["--version", "4.0.0", "--url", "http://updates.example.com/client/d.msi"],
              2, ["3.10.0", "3.9.1", "3.6.2"], None)]
    for args, code, versions, arguments in cases:
        result = tool("write-appcast.py", "--installer", installer, "--output", os.path.join(out, "site"), *args)
        items = ET.parse(feed).getroot().findall("channel/item")
        enclosure = items[0].find("enclosure")
        check(result.returncode == code and [i.findtext(SPARKLE + "version") for i in items] == versions
              and enclosure.get(SPARKLE + "installerArguments") == arguments, f"write-appcast.py {' '.join(args)}")
    enclosure = items[-1].find("enclosure")
    check(enclosure.get("url") == url + "a.msi" and enclosure.get("length") == "5000" and enclosure.get("type")
          == "application/x-msi" and enclosure.get(SPARKLE + "os") == "windows-x64"
          and enclosure.get(SPARKLE + "edSignature") == signature, "the signed item's enclosure as written")
    check(all(i.find("enclosure").get(SPARKLE + "edSignature") is None for i in items[:-1]),
          "items written without a key carry no signature")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
