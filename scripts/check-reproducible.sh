#!/usr/bin/env bash
# Checks that the build is reproducible: builds tollbury.exe (and the machine
# check and the capture tool) of one commit twice, from two copies of the
# sources in two different temporary folders, and compares the results byte
# for byte; then packages
# both and compares the MSI packages and their SPDX documents too.
#   scripts/check-reproducible.sh [--update-key KEY] [COMMIT]     (default HEAD)
#   --update-key KEY  both builds carry the update key KEY
#                     (TOLLBURY_UPDATE_PUBLIC_KEY), as a release does
# Exits non-zero on any difference and shows where the files differ.
# Takes about a minute per build on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
update_key=""
if [ "${1:-}" = --update-key ]; then update_key=${2:?--update-key needs the key}; shift 2; fi
commit=$(git rev-parse --verify "${1:-HEAD}^{commit}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Each copy sits at a different depth, so that no length or path lines up.
dirs=("$scratch/a/src" "$scratch/second-copy/nested/tollbury")
for src in "${dirs[@]}"; do
  mkdir -p "$src"
  git archive "$commit" | tar -x -C "$src"
  # The package script takes its dates from git when it can; both copies
  # must agree without a repository.
  echo "== building $commit in $src" >&2
  cmake -S "$src" -B "$src/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DTOLLBURY_UPDATE_PUBLIC_KEY="$update_key" >/dev/null
  cmake --build "$src/build" --target tollbury tollbury-check dbgcapture tollbury_icon -j "$(nproc)" >/dev/null
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit") \
    "$src/scripts/package.sh" --build-dir "$src/build" --no-build >/dev/null
done

status=0
a=${dirs[0]}/build
b=${dirs[1]}/build
version=$(basename "$(ls "$a"/tollbury-*.msi)" .msi)
for f in bin/tollbury.exe bin/tollbury-check.exe bin/dbgcapture.exe icon/tollbury_icon.exe "$version.msi" "$version.spdx.json"; do
  if cmp -s "$a/$f" "$b/$f"; then
    echo "identical: $f ($(sha256sum <"$a/$f" | cut -c1-16)...)"
  else
    echo "DIFFERENT: $f ($(cmp -l "$a/$f" "$b/$f" | wc -l) bytes)"; cmp -l "$a/$f" "$b/$f" | head -n 5
    status=1
  fi
done
exit $status
