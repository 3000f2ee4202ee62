#!/usr/bin/env bash
# The house style (.clang-format) over every C++ source and header of the
# program, its tools, tests, fuzz targets and benchmarks.
#   scripts/format.sh          formats them in place
#   scripts/format.sh --check  changes nothing; fails, naming each file that
#                              is not formatted and the command that fixes it
# clang-format 14, as Debian 12 ships it: other versions lay some lines out
# otherwise.
set -uo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files -- {check,launcher,keys,net,json,sys,tools,tests,fuzz,bench}/'*.cpp' \
  {check,launcher,keys,net,json,sys,tools,tests,fuzz,bench}/'*.h')
[ "${#files[@]}" -gt 0 ] || { echo "format.sh: no sources found" >&2; exit 1; }

if [ "${1:-}" != "--check" ]; then
  exec clang-format -i -- "${files[@]}"
fi

unformatted=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror -- "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
if [ "${#unformatted[@]}" -gt 0 ]; then
  printf 'not formatted: %s\n' "${unformatted[@]}"
  echo "fix with: scripts/format.sh (or clang-format -i ${unformatted[*]})"
  exit 1
fi
echo "${#files[@]} files formatted as .clang-format says"
