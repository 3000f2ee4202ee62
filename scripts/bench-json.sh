#!/usr/bin/env bash
# bench-json.sh [extra Google Benchmark flags...]
# Builds the JSON lookup benchmark (preset "bench": native, -O2), runs it and
# prints nanoseconds per lookup (median of the repetitions) for our reader and
# each peer, with our time divided by the peer's (below 1.00: we are faster).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset bench >/dev/null
cmake --build --preset bench --target json_bench
out=build/bench/json_bench.json
build/bench/bin/json_bench --benchmark_repetitions=5 --benchmark_min_time=0.2 \
  --benchmark_out="$out" --benchmark_out_format=json "$@" >/dev/null
python3 - "$out" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
ns = {}
order = []
for r in runs:
    if r.get("aggregate_name") != "median":
        continue
    case, _, reader = r["run_name"].rpartition("/")
    scale = {"ns": 1, "us": 1e3, "ms": 1e6}[r["time_unit"]]
    if case not in ns:
        ns[case] = {}
        order.append(case)
    ns[case][reader] = r["real_time"] * scale
peers = ["simdjson", "rapidjson", "cjson"]
print("%-36s %10s" % ("case (ns per lookup)", "ours") + "".join("%21s" % p for p in peers))
for case in order:
    t = ns[case]
    row = "%-36s %10.0f" % (case, t["ours"])
    for p in peers:
        row += "%12.0f (%5.2f)" % (t[p], t["ours"] / t[p])
    print(row)
print("(x.xx) = ours / peer; below 1.00 means ours is faster")
PY
