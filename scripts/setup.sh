#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, and nothing that
# is already there. Safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-tidy clang-format cppcheck python3 openssl
  g++-mingw-w64-x86-64-posix wine64 xvfb
  googletest libgtest-dev libbenchmark-dev libsimdjson-dev rapidjson-dev libcjson-dev
  wixl msitools libxml2-utils osslsigncode
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
