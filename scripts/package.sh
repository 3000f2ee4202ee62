#!/usr/bin/env bash
# Builds Tollbury's Windows Installer package:
#   scripts/package.sh [--version X.Y.Z] [--build-dir DIR] [--no-build]
# Builds the Windows tree (build/windows, preset "windows") if needed, then
# writes DIR/tollbury-<version>.msi and prints its path as the last line;
# beside it, DIR/tollbury-<version>.spdx.json, its bill of materials (SPDX
# 2.3: the package, its files, the libraries linked into the programs and the
# tools, with the versions of the build machine's Debian packages). The
# package installs THIRD-PARTY-NOTICES.txt beside the programs, written from
# the copyright files of those libraries' Debian packages.
#   --version X.Y.Z  the package's ProductVersion (default: the CMake project
#                    version, which is also the exe's numeric version);
#                    for upgrade tests, the files inside stay as built
#   --build-dir DIR  another Windows build tree (or TOLLBURY_BUILD_DIR)
#   --no-build       package what the tree holds (the CMake target "msi" uses
#                    this, having built the programs itself)
#   --out-dir DIR    write the package there instead of the build tree
#   --winsparkle F   ship F as WinSparkle.dll (default: the cache variable)
#   --winsparkle-licence F
#                    WinSparkle's licence file (default: COPYING, LICENSE or
#                    LICENSE.txt beside the DLL); without one the package is
#                    refused, since the licence must travel with every copy:
#                    its text ends THIRD-PARTY-NOTICES.txt, and the bill of
#                    materials gets a package for WinSparkle
#   --sign           sign the programs before packaging them, then the
#                    package (scripts/sign.sh: certificate and key from its
#                    environment variables)
# A tree configured here anew takes the update key from the environment
# variable TOLLBURY_UPDATE_PUBLIC_KEY; a configured tree keeps its own.
# WinSparkle.dll goes in only when the CMake cache variable
# TOLLBURY_WINSPARKLE_DLL names a real one; the tests' stand-in never does.
# The package is reproducible: the same inputs give the same bytes (file
# dates and summary dates from SOURCE_DATE_EPOCH, default the commit's time;
# product and package codes derived from the version and the contents).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# The programs the package installs: CMake target = file name without .exe.
# Each needs its component in packaging/tollbury.wxs too.
programs=(tollbury.exe tollbury-check.exe dbgcapture.exe)

version=""
build_dir=${TOLLBURY_BUILD_DIR:-build/windows}
do_build=1
out_dir=""
winsparkle=""
winsparkle_given=0
winsparkle_licence=""
sign=0
while [ $# -gt 0 ]; do
  case "$1" in
    --version) version=${2:?--version needs X.Y.Z}; shift 2 ;;
    --version=*) version=${1#--version=}; shift ;;
    --build-dir) build_dir=${2:?--build-dir needs a folder}; shift 2 ;;
    --build-dir=*) build_dir=${1#--build-dir=}; shift ;;
    --no-build) do_build=0; shift ;;
    --out-dir) out_dir=${2:?--out-dir needs a folder}; shift 2 ;;
    --winsparkle) winsparkle=${2?--winsparkle needs a file}; winsparkle_given=1; shift 2 ;;
    --winsparkle-licence) winsparkle_licence=${2:?--winsparkle-licence needs a file}; shift 2 ;;
    --sign) sign=1; shift ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "package.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
done
case "$build_dir" in /*) ;; *) build_dir=$root/$build_dir ;; esac
[ -n "$out_dir" ] || out_dir=$build_dir
mkdir -p "$out_dir"
out_dir=$(realpath "$out_dir")

for tool in wixl msibuild msiinfo python3; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

if [ "$do_build" -eq 1 ]; then
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    if [ "$build_dir" = "$root/build/windows" ]; then
      cmake --preset windows -DTOLLBURY_UPDATE_PUBLIC_KEY="${TOLLBURY_UPDATE_PUBLIC_KEY:-}" >/dev/null
    else
      cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLLBURY_UPDATE_PUBLIC_KEY="${TOLLBURY_UPDATE_PUBLIC_KEY:-}" >/dev/null
    fi
  fi
  cmake --build "$build_dir" --target "${programs[@]%.exe}" tollbury_icon >&2
fi

cache_value() {  # cache_value NAME: a variable's value in the build's CMake cache
  sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt" | head -n 1
}
[ -f "$build_dir/CMakeCache.txt" ] || { echo "package.sh: $build_dir is no configured build tree" >&2; exit 1; }

# MSI versions are three numbers; "3.06.1" is 3.6.1, as in the exe's resource.
[ -n "$version" ] || version=$(cache_value CMAKE_PROJECT_VERSION)
if ! [[ "$version" =~ ^[0-9]+(\.[0-9]+){0,2}$ ]]; then
  echo "package.sh: version '$version' is not X.Y.Z" >&2; exit 2
fi
version=$(python3 -c 'import sys; p=[int(x) for x in sys.argv[1].split(".")]+[0,0]; print("%d.%d.%d" % tuple(p[:3]))' "$version")

bin=$build_dir/bin
for f in "${programs[@]/#/$bin/}" "$build_dir/icon/tollbury_icon.exe"; do
  [ -f "$f" ] || { echo "package.sh: $f is missing; build the tree first" >&2; exit 1; }
done

stage=$out_dir/msi-stage
rm -rf "$stage" && mkdir -p "$stage"
cp "${programs[@]/#/$bin/}" "$build_dir/icon/tollbury_icon.exe" "$stage/"
# The compiler that built the programs decides which runtime libraries they hold.
compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$build_dir"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -n 1)
[ -n "$compiler" ] || { echo "package.sh: $build_dir names no C++ compiler" >&2; exit 1; }

[ "$winsparkle_given" -eq 1 ] || winsparkle=$(cache_value TOLLBURY_WINSPARKLE_DLL)
with_winsparkle=no
winsparkle_args=()
if [ -n "$winsparkle" ]; then
  [ -f "$winsparkle" ] || { echo "package.sh: the WinSparkle.dll to ship, $winsparkle, does not exist" >&2; exit 1; }
  # Never the stand-in of the tests, which the build puts beside the exe.
  if [ "$(realpath "$winsparkle")" = "$(realpath -m "$bin/WinSparkle.dll")" ] ||
     { [ -f "$bin/WinSparkle.dll" ] && cmp -s "$winsparkle" "$bin/WinSparkle.dll"; }; then
    echo "package.sh: $winsparkle is the tests' stand-in ($bin/WinSparkle.dll); give the real WinSparkle.dll" >&2
    exit 1
  fi
  if [ -z "$winsparkle_licence" ]; then
    for name in COPYING LICENSE LICENSE.txt; do
      [ -f "$(dirname "$winsparkle")/$name" ] && { winsparkle_licence=$(dirname "$winsparkle")/$name; break; }
    done
  fi
  if [ -z "$winsparkle_licence" ] || [ ! -s "$winsparkle_licence" ]; then
    echo "package.sh: WinSparkle's licence must go with WinSparkle.dll, and no licence file was found" \
      "(${winsparkle_licence:-COPYING, LICENSE or LICENSE.txt beside $winsparkle}); put it beside the DLL" \
      "or name it with --winsparkle-licence FILE" >&2
    exit 1
  fi
  cp "$winsparkle" "$stage/WinSparkle.dll"
  with_winsparkle=yes
  winsparkle_args=(--winsparkle "$stage/WinSparkle.dll" "$winsparkle_licence")
fi
python3 "$root/packaging/third_party.py" notices --compiler "$compiler" --out "$stage/THIRD-PARTY-NOTICES.txt" \
  "${winsparkle_args[@]}" "${programs[@]}"

# Reproducible dates: the commit's time unless SOURCE_DATE_EPOCH says otherwise.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 1700000000)
fi
[ "$sign" -eq 0 ] || "$root/scripts/sign.sh" "${programs[@]/#/$stage/}" >&2
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*

upgrade_code=5d9c4bdb-0c6b-4acc-8ca2-7bc078d4c2b7
product_code=$(python3 -c 'import sys, uuid; print(uuid.uuid5(uuid.UUID(sys.argv[1]), "product " + sys.argv[2]))' "$upgrade_code" "$version")

msi=$out_dir/tollbury-$version.msi
out=$stage/tollbury.msi
(cd "$stage" && wixl -a x64 -D Version="$version" -D ProductCode="$product_code" -D WinSparkle="$with_winsparkle" \
  -o "$out" "$root/packaging/tollbury.wxs" 2> >(grep -v 'builder.vala.*unimplemented' >&2))

# What wixl cannot say: each setting's component is installed only when its
# value is known (and always taken away by an uninstall: the values searched
# for are the default session's then), and is transitive, so that a repair
# (REINSTALL=ALL) that names a value not written before installs it; the
# properties an elevated install may take from the command line. The policy
# value is the exception: it is read back from the package's own record, also
# by an uninstall, which so removes it only when the package wrote it.
queries=()
for name in UPGRADECHECK SINGLEUSER SERVER HOSTNAME SERVERKEYPINS VERIFYSERVERCERTIFICATE REPORTTOEVENTLOG; do
  component=$(msiinfo export "$out" Registry | awk -F'\t' -v v="[REG_$name]" '$5 == v { print $6 }' | tr -d '\r' | sort -u)
  [ -n "$component" ] || { echo "package.sh: no registry row writes [REG_$name]" >&2; exit 1; }
  attributes=$(msiinfo export "$out" Component | awk -F'\t' -v c="$component" '$1 == c { print $4 + 64 }')
  condition="REG_$name OR REMOVE = \"ALL\""
  [ "$name" != REPORTTOEVENTLOG ] || condition="REG_$name"
  queries+=("UPDATE \`Component\` SET \`Condition\` = '$condition', \`Attributes\` = $attributes WHERE \`Component\` = '$component'")
done
# The update gate's key: created whatever the properties and never removed
# (a permanent component, 64-bit, keyed by a registry value: 256 + 16 + 4),
# and open to standard users for setting values, since every start rewrites
# LastCheck. SYSTEM and Administrators keep full control and Users read
# access, for subkeys too; set-value is for this key only. MsiLockPermissionsEx
# (Windows Installer 5.0) takes SIDs, and an access list without the
# protected flag still inherits from the parent key; LockPermissions takes
# localized account names and replaces the whole list.
gate_key='SOFTWARE\Verdanto\Client\Tollbury'
queries+=("INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('TollburyKey', 2, '$gate_key', '+', 'TollburyKey')")
queries+=("UPDATE \`Component\` SET \`Attributes\` = 276 WHERE \`Component\` = 'TollburyKey'")
queries+=("CREATE TABLE \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\` CHAR(72) NOT NULL, \`LockObject\` CHAR(72) NOT NULL, \`Table\` CHAR(32) NOT NULL, \`SDDLText\` LONGCHAR NOT NULL, \`Condition\` CHAR(255) PRIMARY KEY \`MsiLockPermissionsEx\`)")
queries+=("INSERT INTO \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\`, \`LockObject\`, \`Table\`, \`SDDLText\`) VALUES ('TollburyKeyUsersSetValue', 'TollburyKey', 'Registry', 'D:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;;0x2;;;BU)')")
# The session's key, made by every install, so that every start finds the
# session it is installed for (with no values unless given): a row with
# neither name nor value in the session's component, whose key path is the
# package's own record. An uninstall takes the key away only if it is empty
# by then: Windows Installer deletes a key once it has removed the last value
# or subkey under it, and leaves a key that holds values written by others.
session_key='SOFTWARE\Verdanto\Client\sessions\[SESSION]'
queries+=("INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Component_\`) VALUES ('SessionKey', 2, '$session_key', 'SettingSession')")
# wixl writes HKMU as root 4; it is -1.
queries+=("UPDATE \`Registry\` SET \`Root\` = -1 WHERE \`Component_\` = 'StartMenuShortcut'")
# wixl adds msidbCustomActionTypeNoImpersonate (0x800) to every property
# setter, which means nothing without 0x400 and draws ICE68: plain type 51.
queries+=("UPDATE \`CustomAction\` SET \`Type\` = 51 WHERE \`Type\` = 2099")
# Programs with a version resource are versioned files (Windows Installer
# compares versions, not hashes, when it repairs or replaces them).
while IFS=$'\t' read -r file_key file_name; do
  staged=$stage/${file_name##*|}
  file_version=$(python3 "$root/packaging/third_party.py" version "$staged")
  [ -n "$file_version" ] || continue
  queries+=("UPDATE \`File\` SET \`Version\` = '$file_version' WHERE \`File\` = '$file_key'")
  queries+=("DELETE FROM \`MsiFileHash\` WHERE \`File_\` = '$file_key'")
done < <(msiinfo export "$out" File | tr -d '\r' | awk -F'\t' 'NR > 3 { print $1 "\t" $3 }')
secure=$(msiinfo export "$out" Property | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }' | tr -d '\r')
secure="$secure;SESSION;SERVER;HOSTNAME;SINGLEUSER;UPGRADECHECK;SERVERKEYPINS;VERIFYSERVERCERTIFICATE"
secure="$secure;REPORTTOEVENTLOG"
# The event source's key goes whole on uninstall (Name "-"), values and all.
queries+=("INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('EventLogSourceKey', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tollbury', '-', 'EventLogSource')")
queries+=("UPDATE \`Property\` SET \`Value\` = '$secure' WHERE \`Property\` = 'SecureCustomProperties'")
for q in "${queries[@]}"; do msibuild "$out" -q "$q"; done

# The package code: the same for the same contents, new for new contents.
# Everything that shapes the package counts: the files, the source, this
# script and the wixl that builds it.
package_code=$(python3 - "$upgrade_code" "$version $(wixl --version)" "$root/packaging/tollbury.wxs" "$root/scripts/package.sh" \
  "$root/packaging/msi-dates.py" "$root/packaging/third_party.py" "$stage"/*.exe "$stage"/*.dll "$stage"/*.txt \
  <<'PY' 2>/dev/null
import hashlib, sys, uuid, os
h = hashlib.sha256(sys.argv[2].encode())
for path in sys.argv[3:]:
    if os.path.exists(path):
        h.update(os.path.basename(path).encode() + b"\0" + open(path, "rb").read())
print("{%s}" % str(uuid.uuid5(uuid.UUID(sys.argv[1]), h.hexdigest())).upper())
PY
)
msibuild "$out" -s "Tollbury $version" Verdanto "x64;1033" "$package_code"
python3 "$root/packaging/msi-dates.py" "$out" "$SOURCE_DATE_EPOCH"
[ "$sign" -eq 0 ] || "$root/scripts/sign.sh" "$out" >&2

mv "$out" "$msi"
installed=("${programs[@]/#/$stage/}" "$stage/THIRD-PARTY-NOTICES.txt")
[ "$with_winsparkle" = no ] || installed+=("$stage/WinSparkle.dll")
python3 "$root/packaging/third_party.py" sbom --compiler "$compiler" --version "$version" --epoch "$SOURCE_DATE_EPOCH" \
  --msi "$msi" "${winsparkle_args[@]}" "${installed[@]}" >"$out_dir/tollbury-$version.spdx.json"
rm -rf "$stage"
echo "$msi"
