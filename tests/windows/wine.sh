#!/usr/bin/env bash
# The Wine prefix of the Windows process tests and the one wineserver that
# serves them all: a cold server costs seconds per run, a warm one ~0.1 s.
#   wine.sh start WINE64 PREFIX   makes PREFIX when it is missing, starts its server
#   wine.sh stop WINE64 PREFIX    ends that server (and only that one)
set -euo pipefail
action=$1
wine64=$2
export WINEPREFIX=$3 WINEDEBUG=-all
wineserver=$(dirname "$wine64")/wineserver
case "$action" in
  start)
    mkdir -p "$WINEPREFIX"
    # Persistent, but gone 10 minutes after its last client should the stop
    # never come. Its output goes nowhere: ctest would wait for its end.
    "$wineserver" -p600 </dev/null >/dev/null 2>&1 || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "making the Wine prefix $WINEPREFIX"
      "$wine64" wineboot -i </dev/null >/dev/null 2>&1
    fi
    "$wine64" cmd /c ver </dev/null
    ;;
  stop)
    "$wineserver" -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop WINE64 PREFIX" >&2
    exit 2
    ;;
esac
