#!/usr/bin/env bash
# Times two starts of the launcher under Wine with a persistent wineserver,
# each against a stub that does only what that start must:
#  - plain: -no_upgrade, not single-user, against minlaunch, which only
#    starts the same client the same way;
#  - validating: a single-user start whose keys the key service finds good,
#    against minpost, which reads the user's proxy settings, posts a body of
#    the same size in one plain WinHTTP request and starts the same client.
# The key service is the tests' (tests/keyservice) on port 443 of
# BENCH_ADDRESS (default 127.0.2.1, apart from the tests' services). The runs
# of each pair alternate; prints the median of RUNS runs (default 20) of
# each, their ratio (and that of the minima) and the load average before and
# after, then the DLLs that each loads in its own process (Wine's +loaddll
# trace), those that only the launcher loads and those loaded more than
# once. Compare ratios only from runs taken while the machine is quiet.
# TOLLBURY_WINDOWS_BUILD picks the build tree (scripts/wine-session.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-20}
address=${BENCH_ADDRESS:-127.0.2.1}
source scripts/wine-session.sh
wine_session bench-prefix tollbury democlient minlaunch minpost

service="$WINEPREFIX/keyservice"
python3 tests/keyservice/keyservice.py start --dir "$service" --address "$address" >/dev/null
trap 'python3 tests/keyservice/keyservice.py stop --dir "$service" >/dev/null; scripts/wine-prefix.sh stop "$WINEPREFIX" >/dev/null' EXIT

root="$WINEPREFIX/drive_c/ProgramData/Verdanto/RudAvuvav"
rm -rf "$root" && mkdir -p "$root/2.4.1" "$root/2.10.0" "$root/1.9"
for v in 2.4.1 2.10.0 1.9; do cp "$bin/rudavuvav.exe" "$root/$v/"; done
printf 'abc' >"$root/vrd-key.ppk"
printf 'message digest' >"$root/vrd-upload-key.ppk"
"$WINE" reg add 'HKLM\SOFTWARE\Verdanto\Client\Tollbury' /v UpgradeCheck /t REG_SZ /d 0 /f >/dev/null 2>&1
"$WINE" reg add 'HKLM\SOFTWARE\Verdanto\Client\sessions\vrd' /v Server /t REG_SZ /d "https://$address/keys" /f \
  >/dev/null 2>&1

python3 - "$runs" "$WINE" "$bin" "$service" "$address" <<'PY'
import os, re, statistics, subprocess, sys, time
runs, wine, bin_dir, service, address = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
client = r"C:\ProgramData\Verdanto\RudAvuvav\2.10.0"
good = b'{"response":"PASS","responseData":{"result":true}}'
queued = 0

def single_user(on):
    subprocess.run([wine, "reg", "add", r"HKLM\SOFTWARE\Verdanto\Client\sessions\vrd", "/v", "SingleUser",
                    "/t", "REG_DWORD", "/d", "1" if on else "0", "/f"], check=True, capture_output=True)

def queue_good_reply():
    global queued
    # A start within a second of the last one would be throttled: no key check.
    subprocess.run([wine, "reg", "delete", r"HKLM\SOFTWARE\Verdanto\Client\Tollbury", "/v", "LastCheck", "/f"],
                   capture_output=True)
    queued += 1
    path = os.path.join(service, "replies", "%06d.txt" % queued)
    with open(path + ".tmp", "w") as f:
        f.write("status 200\nbody_hex %s\n" % good.hex())
    os.replace(path + ".tmp", path)

def last_body_size():
    folder = os.path.join(service, "requests")
    with open(os.path.join(folder, max(os.listdir(folder)))) as f:
        return len(re.search(r"^body_hex (\w*)$", f.read(), re.M).group(1)) // 2

def run(command, before):
    before()
    start = time.perf_counter()
    subprocess.run(command, check=True)
    elapsed = time.perf_counter() - start
    time.sleep(0.2)  # let the started client finish
    return elapsed

def load():
    return " ".join("%.2f" % x for x in os.getloadavg())

nothing = lambda: None
args = ["--profile", "My Documents"]
tollbury = [wine, f"{bin_dir}/tollbury.exe", "-no_upgrade"] + args
pairs = {
    "plain": (False, [("tollbury", tollbury, nothing),
                      ("minlaunch", [wine, f"{bin_dir}/minlaunch.exe", client] + args, nothing)]),
    "validating": (True, [("tollbury", tollbury, queue_good_reply), ("minpost", None, queue_good_reply)]),
}
print(f"load average before: {load()}")
traces = []
for pair, (validating, commands) in pairs.items():
    single_user(validating)
    run(commands[0][1], commands[0][2])  # warm-up, and the body size to match
    if validating:
        minpost = [wine, f"{bin_dir}/minpost.exe", f"https://{address}/keys", str(last_body_size()), client] + args
        commands[1] = ("minpost", minpost, queue_good_reply)
    run(commands[1][1], commands[1][2])
    times = {name: [] for name, _, _ in commands}
    for _ in range(runs):
        for name, command, before in commands:
            times[name].append(run(command, before))
    medians = {}
    for name, _, _ in commands:
        medians[name] = statistics.median(times[name])
        print(f"{pair:10s} {name:9s} median of {runs}: {medians[name] * 1000:7.1f} ms "
              f"(min {min(times[name]) * 1000:.1f}, max {max(times[name]) * 1000:.1f})")
    (a, _, _), (b, _, _) = commands
    print(f"{pair:10s} ratio {a}/{b}: {medians[a] / medians[b]:.3f} "
          f"(of the minima {min(times[a]) / min(times[b]):.3f})")
    traces.append((pair, validating, commands))
print(f"load average after: {load()}")

# Loads in the program's own process (the client's are left out), in order.
def modules(command, before):
    before()
    env = dict(os.environ, WINEDEBUG="+pid,+loaddll")
    trace = subprocess.run(command, env=env, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True,
                           errors="replace", check=True).stderr
    time.sleep(0.5)  # let the started client finish
    loads = re.findall(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:\S+ Loaded L"[^"]*\\\\([^"\\\\]+)"', trace, re.M)
    program = os.path.basename(command[1]).lower()
    pid = next(p for p, m in loads if m.lower() == program)
    names = [m.lower() for p, m in loads if p == pid]
    return set(names), {m: names.count(m) for m in set(names) if names.count(m) > 1}

for pair, validating, commands in traces:
    single_user(validating)
    loaded, repeated = {}, {}
    for name, command, before in commands:
        loaded[name], repeated[name] = modules(command, before)
        print(f"{pair} {name} loads {len(loaded[name])}: {' '.join(sorted(loaded[name]))}")
    (a, _, _), (b, _, _) = commands
    dlls = {name: {m for m in found if not m.endswith(".exe")} for name, found in loaded.items()}
    print(f"{pair}: DLLs only {a} loads: {' '.join(sorted(dlls[a] - dlls[b])) or '-'}")
    print(f"{pair}: DLLs only {b} loads: {' '.join(sorted(dlls[b] - dlls[a])) or '-'}")
    for name in (a, b):
        again = " ".join(f"{m} x{n}" for m, n in sorted(repeated[name].items())) or "-"
        print(f"{pair}: DLLs {name} loads more than once: {again}")
PY
