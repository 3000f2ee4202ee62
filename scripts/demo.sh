#!/usr/bin/env bash
# Demo of the launcher's main job, under Wine, on a fresh Debian 12 machine:
# installs what is missing, builds, lays out a client tree with several
# versions (some that must lose), sets the registry, starts tollbury.exe with
# a few arguments through the debug-output capture tool, and shows what
# happened: the debug log, the exit code and what the client received.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-session.sh
wine_session demo-prefix tollbury dbgcapture democlient winsparkle credui_standin

# The launcher, installed as an administrator would.
install="$WINEPREFIX/drive_c/Program Files/Verdanto/Tollbury"
rm -rf "$install" && mkdir -p "$install"
cp "$bin/tollbury.exe" "$bin/WinSparkle.dll" "$install/"

# Client versions: 2.10.0 must win over 2.9.7 and 2.4.1; 10.0.0 is a
# half-installed update without rudavuvav.exe; "beta" ranks lowest.
root="$WINEPREFIX/drive_c/ProgramData/Verdanto/RudAvuvav"
rm -rf "$root" && mkdir -p "$root"
for v in 2.4.1 2.9.7 2.10.0 beta; do
  mkdir -p "$root/$v" && cp "$bin/rudavuvav.exe" "$root/$v/"
done
mkdir -p "$root/10.0.0"

# Settings: an update check is wanted (the stand-in update framework beside
# the exe answers "no update found"), the default session "vrd", not
# single-user.
reg() { "$WINE" reg "$@" >/dev/null 2>&1; }
reg delete 'HKLM\SOFTWARE\Verdanto\Client' /f || true
reg add 'HKLM\SOFTWARE\Verdanto\Client\Tollbury' /v UpgradeCheck /t REG_SZ /d 1 /f
reg add 'HKLM\SOFTWARE\Verdanto\Client\Tollbury' /v LastCheck /t REG_SZ /d 0 /f
reg add 'HKLM\SOFTWARE\Verdanto\Client\sessions\vrd' /v SingleUser /t REG_DWORD /d 0 /f
reg add 'HKLM\SOFTWARE\Verdanto\Client\sessions\vrd' /v HostName /t REG_SZ /d updates.verdanto.example /f

echo "== Starting: tollbury.exe --profile \"My Documents\" -v"
set +e
"$WINE" "$bin/dbgcapture.exe" "C:\\Program Files\\Verdanto\\Tollbury\\tollbury.exe" --profile "My Documents" -v
code=$?
set -e
echo "== Exit code: $code"

for _ in $(seq 50); do [ -f "$root/2.10.0/received.txt" ] && break; sleep 0.1; done
echo "== The client received (received.txt of the version it ran from):"
cat "$root"/*/received.txt
echo "== The update framework was called with (WinSparkleCalls.txt):"
cat "$install/WinSparkleCalls.txt"

# --- A single-user session against the test key service -------------------
# The key service runs on https://127.0.0.1/keys (self-signed certificate);
# the credentials dialog is answered by a stand-in credui.dll beside the exe
# that types the account "demo" and its password.
echo
echo "=== Single-user session 'vrd' with the key service at https://127.0.0.1/keys"
service=$PWD/build/windows/demo-keyservice
rm -rf "$service" && mkdir -p "$service/replies"
python3 tests/keyservice/keyservice.py start --dir "$service" --address 127.0.0.1 >/dev/null
trap 'python3 tests/keyservice/keyservice.py stop --dir "$service" >/dev/null 2>&1; scripts/wine-prefix.sh stop "$WINEPREFIX" >/dev/null' EXIT

queue_reply() {  # queue_reply NAME JSON
  printf 'status 200\nbody_hex %s\n' "$(printf '%s' "$2" | od -An -tx1 -v | tr -d ' \n')" >"$service/replies/$1.tmp"
  mv "$service/replies/$1.tmp" "$service/replies/$1.txt"
}
show_requests() {  # the commands sent, with the password masked
  python3 - "$service"/requests/*.txt <<'PY'
import json, re, sys
for path in sys.argv[1:]:
    for line in open(path, encoding="utf-8"):
        if line.startswith("body_hex "):
            body = json.loads(bytes.fromhex(line.split()[1]))
            if "pw" in body:
                body["pw"] = "****"
            print(json.dumps(body))
PY
  rm -f "$service"/requests/*.txt
}
run_launcher() {
  reg add 'HKLM\SOFTWARE\Verdanto\Client\Tollbury' /v LastCheck /t REG_SZ /d 0 /f
  set +e
  "$WINE" "$bin/dbgcapture.exe" "C:\\Program Files\\Verdanto\\Tollbury\\tollbury.exe" -no_upgrade
  echo "== Exit code: $?"
  set -e
}

cp "$bin/credui-standin/credui.dll" "$install/"
printf 'ok\tdemo\tdemo-password\n' >"$install/credui-script.txt"
reg add 'HKLM\SOFTWARE\Verdanto\Client\sessions\vrd' /v SingleUser /t REG_DWORD /d 1 /f
reg add 'HKLM\SOFTWARE\Verdanto\Client\sessions\vrd' /v Server /t REG_SZ /d https://127.0.0.1/keys /f
rm -f "$root"/vrd-*.ppk

key=$(printf 'demo session key\n' | base64 -w0)
upload=$(printf 'demo upload key\n' | base64 -w0)
queue_reply 000001 "{\"response\":\"PASS\",\"responseData\":{\"key\":\"$key\",\"uploadKey\":\"$upload\"}}"
echo "== First start: no key files yet, so the user is asked and keys are fetched"
run_launcher
echo "== The key service received:"
show_requests
echo "== Key files written:"
for f in "$root"/vrd-key.ppk "$root"/vrd-upload-key.ppk; do printf '%s: ' "$(basename "$f")"; cat "$f"; done

queue_reply 000002 '{"response":"PASS","responseData":{"result":true}}'
echo
echo "== Second start: the key files exist and the service accepts them"
run_launcher
echo "== The key service received:"
show_requests
