#!/usr/bin/env bash
# wine-prefix.sh start|stop PREFIX
# start: makes the Wine prefix once (a new one takes seconds and ~700 MB) and
#        starts a persistent wineserver so that each test process starts fast.
# stop:  ends the wineserver and every Wine process of the prefix.
set -euo pipefail
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY DISPLAY
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

case "$action" in
  start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      mkdir -p "$WINEPREFIX"
      "$WINE" wineboot --init </dev/null >/dev/null 2>&1
      "$WINESERVER" -w
    fi
    # -p keeps the server alive between test processes; its helpers must not
    # hold our stdout/stderr open.
    "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true  # already running is fine
    "$WINE" cmd /c exit 0 </dev/null >/dev/null 2>&1
    # The user's Internet settings: no proxy and no automatic detection.
    # Without them WinHTTP auto-detects, which may ask DNS for wpad.<domain>.
    no_proxy_settings=460000000100000001000000000000000000000000000000$(printf '0%.0s' {1..64})
    "$WINE" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' \
      /v DefaultConnectionSettings /t REG_BINARY /d "$no_proxy_settings" /f </dev/null >/dev/null 2>&1
    echo "wine prefix ready: $WINEPREFIX"
    ;;
  stop)
    "$WINESERVER" -k >/dev/null 2>&1 || true
    echo "wineserver stopped"
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
