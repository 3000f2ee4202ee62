#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#   0. the house style (scripts/format.sh --check: a source that is not
#      formatted as .clang-format says fails, with the command that fixes it);
#   1. the Windows build, its unit and end-to-end tests under Wine;
#   2. static analysis of the program's sources as that build compiles them
#      (scripts/static-analysis.py: clang-tidy and cppcheck, every finding
#      not in scripts/analysis-suppressions.txt fails);
#   3. the same sources, tools and tests built with Clang as well (warnings
#      as errors), and its Windows tests but the package's and the gate's;
#   4. the units that need no Windows header (the JSON layer, argument quoting,
#      version ranking, key service messages) built natively with ASan and
#      UBSan, their tests;
#   5. a short fuzzing run of every fuzz target;
#   6. two builds of the committed state in two folders, compared byte for
#      byte (scripts/check-reproducible.sh).
# Exits non-zero if anything failed. FUZZ_SECONDS sets the fuzzing time per
# target (default 12: the whole suite stays within 15 minutes on two cores).
set -uo pipefail
cd "$(dirname "$0")/.."
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

scripts/setup.sh || exit 1

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
passed=0
failed=0
failures=()

# Adds a ctest run's counts from its "N tests failed out of M" line.
count_ctest() {
  local line total bad
  line=$(grep -E '[0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); failures+=("$2: no test result"); return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
  [ "$bad" -eq 0 ] || failures+=("$2: $bad failed")
}

# The Windows tests get a second attempt (CMakePresets.json): Wine now and
# then fails to start a process on a busy machine. Names the tests that
# needed it, so that a test that fails now and then is still seen.
retries=()
note_retries() {
  local name
  for name in $(grep -E 'Test +#[0-9]+: .*\*\*\*' "$1" | sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/' | sort -u); do
    if grep -qE "Test +#[0-9]+: $name \.+ +Passed" "$1"; then retries+=("$name"); fi
  done
}

stage() {  # stage NAME COMMAND...
  local name=$1; shift
  echo "=== $name"
  "$@" 2>&1 | tee "$logs/$name.log"
  return "${PIPESTATUS[0]}"
}

build() {  # build PRESET
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1"
}

if stage format scripts/format.sh --check; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); failures+=("format")
fi

if stage windows-build build windows; then
  stage windows-tests ctest --preset windows
  count_ctest "$logs/windows-tests.log" windows-tests
  note_retries "$logs/windows-tests.log"
  if stage analysis scripts/static-analysis.py build/windows; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); failures+=("static analysis")
  fi
else
  failed=$((failed + 1)); failures+=("windows build")
fi

# The package's tests ask the GCC driver for its start-up files; the update
# gate's and the update check's wait spend minutes in real waits (their
# decisions run in update.unit), which the GCC build's run has already sat through.
if stage clang-build build windows-clang; then
  stage clang-tests ctest --preset windows-clang -E '^(package[.]|update[.](gate|wait)$)'
  count_ctest "$logs/clang-tests.log" clang-tests
  note_retries "$logs/clang-tests.log"
else
  failed=$((failed + 1)); failures+=("clang build")
fi

if stage native-build build native; then
  stage native-tests ctest --preset native
  count_ctest "$logs/native-tests.log" native-tests
else
  failed=$((failed + 1)); failures+=("native build")
fi

if [ -x scripts/fuzz.sh ]; then
  if stage fuzz scripts/fuzz.sh "${FUZZ_SECONDS:-12}"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); failures+=("fuzzing")
  fi
fi

# Two builds of the committed state in two folders must be byte-identical.
if [ -x scripts/check-reproducible.sh ]; then
  if stage reproducible scripts/check-reproducible.sh; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); failures+=("reproducible build")
  fi
fi

echo
for r in "${retries[@]}"; do echo "PASSED ON A SECOND ATTEMPT: $r (its first attempt is in the log above)"; done
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
