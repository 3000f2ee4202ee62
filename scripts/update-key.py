#!/usr/bin/env python3
"""The Ed25519 key that signs client updates, through the openssl command.

  update-key.py keygen KEY.pem        makes a key pair once (KEY.pem readable by its owner only, never
                                      overwritten) and prints the public key
  update-key.py public KEY.pem        prints the public key: base64 of its 32 raw bytes, the text that
                                      -DTOLLBURY_UPDATE_PUBLIC_KEY takes
  update-key.py sign KEY.pem FILE     prints the signature of the whole file (base64 of 64 bytes), the
                                      text of the feed's sparkle:edSignature
  update-key.py verify PUBLIC FILE SIGNATURE
                                      exit 0 when SIGNATURE (base64) is FILE's under PUBLIC (base64);
                                      otherwise exit 1 and says so

Exit codes: 0 done, 1 the signature does not verify, 2 a usage or key error.
"""
import base64
import binascii
import os
import subprocess
import sys
import tempfile

# DER of an Ed25519 SubjectPublicKeyInfo up to its 32 key bytes (RFC 8410).
SPKI_PREFIX = bytes.fromhex("302a300506032b6570032100")
PUBLIC_KEY_BYTES = 32
SIGNATURE_BYTES = 64


class KeyProblem(Exception):
    """A problem the user must mend; its text is the whole message."""


def openssl(*args, stdout=subprocess.PIPE):
    result = subprocess.run(("openssl",) + args, stdout=stdout, stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise KeyProblem(f"openssl {args[0]} failed: {first_line(result.stderr)}")
    return result.stdout


def first_line(stderr):
    lines = stderr.decode(errors="replace").strip().splitlines()
    return lines[0] if lines else "no message"


def decode_base64(text, size, what):
    try:
        raw = base64.b64decode(text.strip(), validate=True)
    except binascii.Error:
        raw = b""
    if len(raw) != size:
        raise KeyProblem(f"{what} is not the base64 of {size} bytes: {text.strip()!r}")
    return raw


def make_key_pair(key_path):
    # O_EXCL refuses an existing file (a link included); the mode is set at creation, so the private key
    # is never readable by others, not even for a moment.
    try:
        fd = os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        raise KeyProblem(f"{key_path} exists; a key pair is made once, and an existing key is never replaced")
    except OSError as e:
        raise KeyProblem(f"cannot create {key_path}: {e.strerror}")
    with os.fdopen(fd, "wb") as key_file:
        try:
            openssl("genpkey", "-algorithm", "ed25519", stdout=key_file)
        except KeyProblem:
            key_file.close()
            os.unlink(key_path)
            raise
    return public_key(key_path)


def public_key(key_path):
    der = openssl("pkey", "-in", key_path, "-pubout", "-outform", "DER")
    if len(der) != len(SPKI_PREFIX) + PUBLIC_KEY_BYTES or not der.startswith(SPKI_PREFIX):
        raise KeyProblem(f"{key_path} is not an Ed25519 key")
    return base64.b64encode(der[len(SPKI_PREFIX):]).decode()


def sign_file(key_path, file_path):
    public_key(key_path)
    # Ed25519 signs the message itself, not a digest: pkeyutl needs -rawin and reads the whole file.
    signature = openssl("pkeyutl", "-sign", "-inkey", key_path, "-rawin", "-in", file_path)
    return base64.b64encode(signature).decode()


def verify_file(public_base64, file_path, signature_base64):
    raw_key = decode_base64(public_base64, PUBLIC_KEY_BYTES, "the public key")
    signature = decode_base64(signature_base64, SIGNATURE_BYTES, "the signature")
    if not os.path.isfile(file_path):
        raise KeyProblem(f"{file_path} is not a file")
    with tempfile.TemporaryDirectory() as folder:
        key_der = os.path.join(folder, "public.der")
        signature_file = os.path.join(folder, "signature")
        with open(key_der, "wb") as f:
            f.write(SPKI_PREFIX + raw_key)
        with open(signature_file, "wb") as f:
            f.write(signature)
        result = subprocess.run(("openssl", "pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey", key_der,
                                 "-rawin", "-in", file_path, "-sigfile", signature_file), capture_output=True)
    return result.returncode == 0


def main(argv):
    commands = {"keygen": 1, "public": 1, "sign": 2, "verify": 3}
    if len(argv) < 2 or commands.get(argv[1]) != len(argv) - 2:
        sys.stderr.write(__doc__)
        return 2
    command, args = argv[1], argv[2:]
    try:
        if command == "keygen":
            print(make_key_pair(args[0]))
            sys.stderr.write(f"Keep {args[0]} private and backed up: every client built with this public key "
                             "accepts only updates it signed.\n")
        elif command == "public":
            print(public_key(args[0]))
        elif command == "sign":
            print(sign_file(args[0], args[1]))
        elif verify_file(*args):
            print(f"{args[1]}: the signature verifies")
        else:
            sys.stderr.write(f"{args[1]}: the signature does not verify with this public key\n")
            return 1
    except KeyProblem as e:
        sys.stderr.write(f"update-key.py: {e}\n")
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
