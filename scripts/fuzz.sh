#!/usr/bin/env bash
# fuzz.sh [SECONDS]
# Builds the libFuzzer targets (preset "fuzz": Clang, ASan, UBSan) and runs
# each for SECONDS (default 20) from its seed corpus. New inputs and any crash
# go to build/fuzz/; the seeds in fuzz/corpus stay as they are. Exits non-zero
# if any target fails.
set -euo pipefail
seconds=${1:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
targets=(json_find json_decode json_number json_print version_rank key_reply argument_quoting outside_text)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"

status=0
for name in "${targets[@]}"; do
  work=build/fuzz/corpus/$name
  artifacts=build/fuzz/artifacts/$name/
  log=build/fuzz/$name.log
  mkdir -p "$work" "$artifacts"
  if build/fuzz/bin/fuzz_$name -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts" "$work" "fuzz/corpus/$name" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$name: ok, ${runs:-?} runs in ${seconds} s"
  else
    echo "fuzz_$name: FAILED, log in $log; inputs in $artifacts"
    tail -n 40 "$log"
    status=1
  fi
done
exit $status
