#!/usr/bin/env bash
# bench-json.sh [extra Google Benchmark flags...]
# Builds the JSON lookup benchmark (preset "bench": native, -O2), runs it and
# prints nanoseconds per lookup (median of the repetitions) for our reader and
# each peer, with our time divided by the peer's (below 1.00: we are faster),
# the instruction set of each reader's kernel and the machine's load.
# Repetitions are interleaved at random, so that a change of load on the
# machine falls on every reader alike. TOLLBURY_BENCH_BUILD picks the build
# tree (default build/bench), REPETITIONS the number of repetitions (9),
# KERNEL our reader's kernel (portable, sse2, avx2, avx512; default: the
# widest this machine runs).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${TOLLBURY_BENCH_BUILD:-build/bench}
cmake --preset bench -B "$build" >/dev/null
cmake --build "$build" -j2 --target json_bench
out=$build/json_bench.json
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
"$build"/bin/json_bench ${KERNEL:+--kernel=$KERNEL} --benchmark_repetitions=${REPETITIONS:-9} --benchmark_min_time=0.1 \
  --benchmark_enable_random_interleaving=true \
  --benchmark_out="$out" --benchmark_out_format=json "$@" >/dev/null 2>"$build/json_bench.log" ||
  { cat "$build/json_bench.log" >&2; exit 1; }
echo "load average (1, 5, 15 min) before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$out" <<'PY'
import json, sys
result = json.load(open(sys.argv[1]))
runs = result["benchmarks"]
ns = {}
first = {}  # the cases in the order they were registered, not run
for r in runs:
    if r.get("aggregate_name") != "median":
        continue
    case, _, reader = r["run_name"].rpartition("/")
    scale = {"ns": 1, "us": 1e3, "ms": 1e6}[r["time_unit"]]
    ns.setdefault(case, {})[reader] = r["real_time"] * scale
    first[case] = min(first.get(case, r["family_index"]), r["family_index"])
order = sorted(ns, key=lambda case: first[case])
peers = ["simdjson", "simdjson-dom", "rapidjson", "cjson"]
print("%-36s %10s" % ("case (ns per lookup)", "ours") + "".join("%21s" % p for p in peers))
for case in order:
    t = ns[case]
    row = "%-36s %10.0f" % (case, t["ours"])
    for p in peers:
        row += "%12.0f (%5.2f)" % (t[p], t["ours"] / t[p])
    print(row)
print("(x.xx) = ours / peer; below 1.00 means ours is faster; simdjson = On-Demand")
print("kernels on this machine:")
for reader in ["ours"] + peers:
    print("  %-13s %s" % (reader, result["context"].get("kernel." + reader, "?")))
PY
