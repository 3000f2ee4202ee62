#!/usr/bin/env bash
# Signs Windows files (tollbury.exe, dbgcapture.exe, the MSI) in place with
# Authenticode, SHA-256, using osslsigncode:
#   scripts/sign.sh FILE...
# The certificate and key come from the environment, never the command line:
#   TOLLBURY_SIGN_PKCS12     a PKCS#12 file (.pfx/.p12) with certificate and key
#   TOLLBURY_SIGN_CERT       or a PEM certificate (chain) ...
#   TOLLBURY_SIGN_KEY        ... and its PEM private key
#   TOLLBURY_SIGN_PASSWORD   the password of the PKCS#12 file or of the key
#   TOLLBURY_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional; a
#                            time-stamped signature outlives the certificate)
# A file that is already signed gets its signature replaced. Sign the programs
# before packaging them (scripts/package.sh --sign does both steps).
set -euo pipefail

[ $# -gt 0 ] || { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is missing (scripts/setup.sh installs it)" >&2; exit 1; }

credentials=()
if [ -n "${TOLLBURY_SIGN_PKCS12:-}" ]; then
  [ -f "$TOLLBURY_SIGN_PKCS12" ] || { echo "sign.sh: TOLLBURY_SIGN_PKCS12=$TOLLBURY_SIGN_PKCS12 does not exist" >&2; exit 1; }
  credentials=(-pkcs12 "$TOLLBURY_SIGN_PKCS12")
elif [ -n "${TOLLBURY_SIGN_CERT:-}" ] && [ -n "${TOLLBURY_SIGN_KEY:-}" ]; then
  for f in "$TOLLBURY_SIGN_CERT" "$TOLLBURY_SIGN_KEY"; do
    [ -f "$f" ] || { echo "sign.sh: $f does not exist" >&2; exit 1; }
  done
  credentials=(-certs "$TOLLBURY_SIGN_CERT" -key "$TOLLBURY_SIGN_KEY")
else
  echo "sign.sh: set TOLLBURY_SIGN_PKCS12, or TOLLBURY_SIGN_CERT and TOLLBURY_SIGN_KEY" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -n "${TOLLBURY_SIGN_PASSWORD:-}" ]; then
  # Read from a private file, so that the password shows in no process list.
  (umask 077 && printf '%s' "$TOLLBURY_SIGN_PASSWORD" >"$work/password")
  credentials+=(-readpass "$work/password")
fi
timestamp=()
[ -z "${TOLLBURY_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$TOLLBURY_SIGN_TIMESTAMP_URL")

for file in "$@"; do
  [ -f "$file" ] || { echo "sign.sh: $file does not exist" >&2; exit 1; }
  unsigned=$work/unsigned
  # Replace an earlier signature rather than nest a second one.
  if ! osslsigncode remove-signature -in "$file" -out "$unsigned" >/dev/null 2>&1; then
    cp "$file" "$unsigned"
  fi
  osslsigncode sign "${credentials[@]}" -h sha256 -n "Tollbury" "${timestamp[@]}" \
    -in "$unsigned" -out "$work/signed" >"$work/log" 2>&1 || { cat "$work/log" >&2; echo "sign.sh: signing $file failed" >&2; exit 1; }
  cat "$work/signed" >"$file"  # keeps the file's mode and links
  rm -f "$unsigned" "$work/signed"
  echo "signed: $file"
done
