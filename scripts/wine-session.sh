# Sourced by the demo and benchmark scripts: installs what is missing, builds
# the named targets of the Windows build, and starts a persistent wineserver
# on a Wine prefix of the caller's own, stopped again when the caller exits.
#   wine_session PREFIX_NAME TARGET...
# Leaves WINE (the wine binary), bin (the build's output folder) and
# WINEPREFIX set. TOLLBURY_WINDOWS_BUILD names another build tree of the
# windows preset (default build/windows).
wine_session() {
  local prefix=$1; shift
  unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY DISPLAY
  scripts/setup.sh
  local build=${TOLLBURY_WINDOWS_BUILD:-build/windows}
  build=$(realpath -m "$build")
  cmake --preset windows -B "$build" >/dev/null
  cmake --build "$build" -j2 --target "$@" >/dev/null
  bin=$build/bin
  export WINEPREFIX=$build/$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  WINE=/usr/lib/wine/wine64
  scripts/wine-prefix.sh start "$WINEPREFIX" >/dev/null
  trap 'scripts/wine-prefix.sh stop "$WINEPREFIX" >/dev/null' EXIT
}
