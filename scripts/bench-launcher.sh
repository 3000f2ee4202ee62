#!/usr/bin/env bash
# Times the launcher's whole run (-no_upgrade, not single-user) under Wine
# with a persistent wineserver, against minlaunch, which only starts the same
# client the same way. Prints the median of RUNS runs (default 20) of each
# and their ratio.
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
PY
