#!/usr/bin/env bash
# xvfb.sh start|stop DISPLAY STATE_DIR [XVFB_PROGRAM]
# start: starts Xvfb on DISPLAY (e.g. :87) unless ours already runs there;
#        fails when another program holds that display.
# stop:  ends the Xvfb that start recorded in STATE_DIR, and only that one.
set -euo pipefail
action=$1
display=$2
state=$3
xvfb=${4:-Xvfb}
number=${display#:}
pidfile=$state/xvfb.pid
socket=/tmp/.X11-unix/X$number
lock=/tmp/.X$number-lock

running() { [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; }

case "$action" in
  start)
    mkdir -p "$state"
    if running; then
      echo "Xvfb already running on $display"
      exit 0
    fi
    if [ -e "$lock" ]; then
      owner=$(tr -d ' \n' <"$lock")
      if [ -n "$owner" ] && kill -0 "$owner" 2>/dev/null; then
        echo "display $display is held by process $owner; configure another with -DTOLLBURY_XVFB_DISPLAY=:N" >&2
        exit 1
      fi
    fi
    # Detached and without our pipes, so that the test runner does not wait on it.
    setsid "$xvfb" "$display" -screen 0 1280x1024x24 -nolisten tcp </dev/null >"$state/xvfb.log" 2>&1 &
    echo $! >"$pidfile"
    for _ in $(seq 1 100); do
      if [ -S "$socket" ]; then
        echo "Xvfb ready on $display"
        exit 0
      fi
      running || break
      sleep 0.1
    done
    echo "Xvfb did not come up on $display" >&2
    cat "$state/xvfb.log" >&2 || true
    if running; then kill "$(cat "$pidfile")"; fi
    rm -f "$pidfile"
    exit 1
    ;;
  stop)
    if [ -f "$pidfile" ]; then
      pid=$(cat "$pidfile")
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      rm -f "$pidfile"
    fi
    echo "Xvfb stopped"
    ;;
  *)
    echo "usage: $0 start|stop DISPLAY STATE_DIR" >&2
    exit 2
    ;;
esac
