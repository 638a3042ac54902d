#!/usr/bin/env bash
# The Wine prefix of the Windows process tests and the one wineserver that
# serves them all: a cold server costs seconds per run, a warm one ~0.1 s.
#   wine.sh start WINE64 PREFIX   makes PREFIX when it is missing, starts its server
#   wine.sh stop WINE64 PREFIX    ends that server (and only that one)
#
# Nothing Wine starts here may hold ctest's output pipe: the server and the
# Windows services it starts outlive this script, and ctest would wait for
# them. Their output goes to PREFIX/kavro3-wine.log instead.
set -euo pipefail
action=$1
wine64=$2
export WINEPREFIX=$3 WINEDEBUG=-all
wineserver=$(dirname "$wine64")/wineserver
log=$WINEPREFIX/kavro3-wine.log
case "$action" in
  start)
    mkdir -p "$WINEPREFIX"
    : >"$log"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "making the Wine prefix $WINEPREFIX"
      "$wine64" wineboot -i </dev/null >>"$log" 2>&1 || { cat "$log"; exit 1; }
      # wineboot returns while the set-up it started still runs; a program
      # started meanwhile may fail to start at all. Wait for all of it, and
      # for that (short-lived) server to end.
      "$wineserver" -w </dev/null >>"$log" 2>&1 || true
    fi
    # Persistent, but gone 10 minutes after its last client should the stop
    # never come.
    "$wineserver" -p600 </dev/null >>"$log" 2>&1 || true
    # Starts the services now, so that no test's gateway.exe is the process
    # they inherit their standard streams from.
    "$wine64" cmd /c ver </dev/null >>"$log" 2>&1 || { cat "$log"; exit 1; }
    grep -a Windows "$log" || true
    ;;
  stop)
    "$wineserver" -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop WINE64 PREFIX" >&2
    exit 2
    ;;
esac
