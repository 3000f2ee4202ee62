#!/usr/bin/env bash
# Demo of the launcher's main job, under Wine, on a fresh Debian 12 machine:
# installs what is missing, builds, lays out a client tree with several
# versions (some that must lose), sets the registry, starts tollbury.exe with
# a few arguments through the debug-output capture tool, and shows what
# happened: the debug log, the exit code and what the client received.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-session.sh
wine_session demo-prefix tollbury dbgcapture democlient winsparkle

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
