#!/usr/bin/env bash
# Times the launcher's whole run (-no_upgrade, not single-user) under Wine
# with a persistent wineserver, against minlaunch, which only starts the same
# client the same way. Prints the median of RUNS runs (default 20) of each
# and their ratio, then the DLLs that each loads (Wine's +loaddll trace) and
# those that only the launcher loads. TOLLBURY_WINDOWS_BUILD picks the build
# tree (scripts/wine-session.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-20}
source scripts/wine-session.sh
wine_session bench-prefix tollbury democlient minlaunch

root="$WINEPREFIX/drive_c/ProgramData/Verdanto/RudAvuvav"
rm -rf "$root" && mkdir -p "$root/2.4.1" "$root/2.10.0" "$root/1.9"
for v in 2.4.1 2.10.0 1.9; do cp "$bin/rudavuvav.exe" "$root/$v/"; done
"$WINE" reg add 'HKLM\SOFTWARE\Verdanto\Client\Tollbury' /v UpgradeCheck /t REG_SZ /d 0 /f >/dev/null 2>&1
"$WINE" reg add 'HKLM\SOFTWARE\Verdanto\Client\sessions\vrd' /v SingleUser /t REG_DWORD /d 0 /f >/dev/null 2>&1

python3 - "$runs" "$WINE" "$bin" <<'PY'
import statistics, subprocess, sys, time
runs, wine, bin_dir = int(sys.argv[1]), sys.argv[2], sys.argv[3]
commands = {
    "tollbury": [wine, f"{bin_dir}/tollbury.exe", "-no_upgrade", "--profile", "My Documents"],
    "minlaunch": [wine, f"{bin_dir}/minlaunch.exe", r"C:\ProgramData\Verdanto\RudAvuvav\2.10.0", "--profile", "My Documents"],
}
medians = {}
for name, command in commands.items():
    subprocess.run(command, check=True)  # warm-up
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, check=True)
        times.append(time.perf_counter() - start)
        time.sleep(0.2)  # let the started client finish
    medians[name] = statistics.median(times)
    print(f"{name:10s} median of {runs}: {medians[name] * 1000:7.1f} ms "
          f"(min {min(times) * 1000:.1f}, max {max(times) * 1000:.1f})")
print(f"ratio tollbury/minlaunch: {medians['tollbury'] / medians['minlaunch']:.2f}")

import os, re
def modules(command):
    env = dict(os.environ, WINEDEBUG="+loaddll")
    trace = subprocess.run(command, env=env, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True,
                           errors="replace", check=True).stderr
    time.sleep(0.5)  # let the started client finish
    return {m.lower() for m in re.findall(r'Loaded L"[^"]*\\\\([^"\\\\]+)"', trace)}
loaded = {name: modules(command) for name, command in commands.items()}
for name in commands:
    print(f"{name} loads {len(loaded[name])}: {' '.join(sorted(loaded[name]))}")
dlls = {name: {m for m in found if not m.endswith(".exe")} for name, found in loaded.items()}
print(f"DLLs only tollbury loads: {' '.join(sorted(dlls['tollbury'] - dlls['minlaunch'])) or '-'}")
print(f"DLLs only minlaunch loads: {' '.join(sorted(dlls['minlaunch'] - dlls['tollbury'])) or '-'}")
PY
