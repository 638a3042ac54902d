#!/usr/bin/env bash
# Load with failover, end to end: the gateway behind lighttpd, two sample
# engines behind it, 200 concurrent clients (tests/load/load.py says what is
# checked). All on 127.0.0.1, ephemeral ports, stopped by PID at the end.
#
#   tests/load/run.sh [short|long] [--seed N]
#
# short (make test) runs in about a minute, long (make stress) for several.
# KAVRO3_BUILD names the build tree (default: build); the work dir, with the
# servers' and engines' logs, is kept when the run fails (or with
# KAVRO3_LOAD_KEEP=1).
set -uo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
mode=${1:-short}
shift || true
case "$mode" in short | long) ;; *)
  echo "usage: $0 [short|long] [--seed N]" >&2
  exit 2
  ;;
esac

export KAVRO3_BUILD=${KAVRO3_BUILD:-build}
[[ $KAVRO3_BUILD == /* ]] || KAVRO3_BUILD=$repo/$KAVRO3_BUILD
export PATH=$PATH:/usr/sbin:/sbin
for tool in lighttpd /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "load: $tool is missing (make test installs it)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kavro3-load.XXXXXX")
# The web server's user (www-data when started as root) walks through here.
chmod 755 "$work"
site=$work/site
rc=1
finish() {
  # Engine B and a restarted engine A are load.py's; it stops them, but not
  # if it was killed.
  local f pid
  for f in "$site/engine2.pid"; do
    [ -f "$f" ] || continue
    pid=$(cat "$f")
    if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = sample-engine ]; then kill -TERM "$pid" 2>/dev/null || true; fi
  done
  "$repo/scripts/site.sh" stop "$site" || true
  if [ "$rc" -eq 0 ] && [ -z "${KAVRO3_LOAD_KEEP:-}" ]; then
    rm -rf "$work"
  else
    echo "load: kept $work" >&2
  fi
}
trap finish EXIT
trap 'exit 130' INT TERM

KAVRO3_FILEMODE=1 "$repo/scripts/site.sh" start "$site" lighttpd >"$work/site.start.log" 2>&1 || {
  cat "$work/site.start.log" >&2
  echo "load: could not start the site" >&2
  exit 1
}

/usr/bin/python3 "$repo/tests/load/load.py" --site "$site" --build "$KAVRO3_BUILD" --mode "$mode" "$@"
rc=$?
if [ "$rc" -eq 0 ]; then
  for f in "$site"/logs/sanitizer*; do
    [ -e "$f" ] || continue
    cat "$f" >&2
    echo "load: FAIL: sanitizer report $f" >&2
    rc=1
  done
fi
exit "$rc"
