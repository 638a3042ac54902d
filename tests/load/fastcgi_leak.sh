#!/usr/bin/env bash
# One gateway process, many requests: a single gateway, started by
# spawn-fcgi, serves both /shop/gateway (the sample engine behind it) and
# /down/gateway (its settings key names a port where nothing listens) for
# lighttpd's mod_fastcgi, and wrk sends requests of every kind in turn
# (fastcgi_mix.lua): good ones, uploads, bodies the decoder refuses, reports.
#
#   tests/load/fastcgi_leak.sh TOTAL [--rss]
#
# Every answer must be 200 and the same process must serve them all. --rss
# (release builds): the process's resident size after TOTAL requests is
# within 1 MiB of its size after the first 1,000. Then SIGUSR1 ends the
# process the kit's graceful way, so that a sanitizer build's LeakSanitizer
# looks at what is left: no report may appear. KAVRO3_BUILD names the build
# tree (default: build); the work dir is kept when the run fails.
set -uo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
total=${1:-}
rss_check=${2:-}
[[ $total =~ ^[0-9]+$ ]] && [ "$total" -gt 1000 ] || {
  echo "usage: $0 TOTAL(>1000) [--rss]" >&2
  exit 2
}
readonly warm_up=1000 rss_slack_kib=1024

export KAVRO3_BUILD=${KAVRO3_BUILD:-build}
[[ $KAVRO3_BUILD == /* ]] || KAVRO3_BUILD=$repo/$KAVRO3_BUILD
export PATH=$PATH:/usr/sbin:/sbin
for tool in lighttpd wrk curl spawn-fcgi; do
  command -v "$tool" >/dev/null || { echo "leak: $tool is missing (make test installs it)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kavro3-fastcgi-leak.XXXXXX")
chmod 755 "$work" # the web server's user (www-data when started as root) walks through here
mkdir -p "$work"/{htdocs,logs,run,spool,tmp}
echo idle >"$work/htdocs/idle.txt"
chmod 644 "$work/htdocs/idle.txt"
pids=()
rc=1
finish() {
  local pid
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ "$rc" -eq 0 ]; then rm -rf "$work"; else echo "leak: kept $work" >&2; fi
}
trap finish EXIT
trap 'exit 130' INT TERM
fail() {
  echo "leak: FAIL: $*" >&2
  exit 1
}
say() { echo "leak: $*"; }

cp "$KAVRO3_BUILD/gateway" "$work/gateway"
user_lines=""
if [ "$(id -u)" -eq 0 ]; then
  user_lines=$'server.username = "www-data"\nserver.groupname = "www-data"'
  chown www-data:www-data "$work/logs" "$work/run" "$work/spool" "$work/tmp"
fi

"$KAVRO3_BUILD/sample-engine" --address 127.0.0.1 --port 0 </dev/null >/dev/null 2>"$work/logs/engine.log" &
pids+=($!)
for ((i = 0; i < 100; i++)); do
  line=$(head -n 1 "$work/logs/engine.log" 2>/dev/null)
  [[ $line == "sample-engine: listening on "*:* ]] && break
  sleep 0.05
done
[[ $line == "sample-engine: listening on "*:* ]] || fail "the sample engine did not start: $line"
engine_port=${line##*:}

# A port where nothing listens, for the application whose engine is down.
dead_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/kavro3.reg" <<EOF
REGEDIT4
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3\\shop]
"ServerURL"="127.0.0.1"
"ServerPort"="$engine_port"
"FilePath"="$work/spool/"
"FileMode"="1"
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3\\down]
"ServerURL"="127.0.0.1"
"ServerPort"="$dead_port"
EOF
chmod 644 "$work/kavro3.reg"

# The gateway started as spawn-fcgi starts it for nginx (docs/deploy-fastcgi.md),
# in place (-n): this script holds its PID.
env -i KAVRO3_REGISTRY="$work/kavro3.reg" ASAN_OPTIONS="log_path=$work/logs/sanitizer" \
  UBSAN_OPTIONS="print_stacktrace=1:log_path=$work/logs/sanitizer" \
  spawn-fcgi -n -s "$work/run/gateway.socket" -M 0666 -- "$work/gateway" >"$work/logs/spawn-fcgi.out" 2>&1 &
pid=$!
pids+=("$pid")
for ((i = 0; i < 100; i++)); do
  [ -S "$work/run/gateway.socket" ] && break
  sleep 0.05
done
[ -S "$work/run/gateway.socket" ] || fail "spawn-fcgi made no socket: $(cat "$work/logs/spawn-fcgi.out")"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/lighttpd.conf" <<EOF
server.modules = ( "mod_fastcgi" )
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$work/htdocs"
server.errorlog = "$work/logs/error.log"
server.upload-dirs = ( "$work/tmp" )
$user_lines
fastcgi.server = (
  "/shop/gateway" => (( "socket" => "$work/run/gateway.socket", "check-local" => "disable" )),
  "/down/gateway" => (( "socket" => "$work/run/gateway.socket", "check-local" => "disable" )),
)
EOF
lighttpd -D -f "$work/lighttpd.conf" </dev/null >"$work/logs/lighttpd.out" 2>&1 &
pids+=($!)
url=http://127.0.0.1:$port
for ((i = 0; i < 100; i++)); do
  curl -s -o /dev/null "$url/shop/gateway/echo" && break
  sleep 0.1
done

gateway_pid() {
  local p
  for p in /proc/[0-9]*; do
    if [ "$(readlink "$p/exe" 2>/dev/null)" = "$work/gateway" ]; then echo "${p#/proc/}"; fi
  done
}
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# round COUNT: COUNT requests for the gateway, every answer 200, in runs of
# wrk of a second each (wrk ends at its duration, not at a count).
round() {
  local text sent=0 began=$SECONDS
  while [ "$sent" -lt "$1" ]; do
    text=$(wrk -t1 -c4 -d1s --timeout 30s -s "$repo/tests/load/fastcgi_mix.lua" "$url" -- $(($1 - sent)) 2>&1)
    [[ $text =~ gateway\ ([0-9]+)\ answers\ [0-9]+\ other-than-200\ 0 ]] || fail "wrk: $text"
    sent=$((sent + BASH_REMATCH[1]))
  done
  served=$((served + sent))
  say "$served requests served ($((SECONDS - began)) s for the last $sent)"
}

[ "$(gateway_pid)" = "$pid" ] || fail "not the one gateway process $pid: '$(gateway_pid)'"
served=0
round "$warm_up"
rss_warm=$(rss_kib "$pid")
warm=$served
round $((total - warm_up))
rss_end=$(rss_kib "$pid")
[ "$(gateway_pid)" = "$pid" ] || fail "gateway process $pid did not serve every request (now: $(gateway_pid))"
say "one process ($pid) served $served requests; RSS after $warm: $rss_warm KiB, after $served: $rss_end KiB"
if [ "$rss_check" = --rss ] && [ $((rss_end - rss_warm)) -gt "$rss_slack_kib" ]; then
  fail "RSS grew by $((rss_end - rss_warm)) KiB (at most $rss_slack_kib)"
fi
left=$(ls -A "$work/spool")
[ -z "$left" ] || fail "spooled files left: $left"

# The kit's graceful stop: the process returns from main, and LeakSanitizer
# (in a sanitizer build) reports whatever is left unreleased.
kill -USR1 "$pid"
for ((i = 0; i < 100; i++)); do
  [ -d "/proc/$pid" ] && [ "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)" != Z ] || break
  sleep 0.05
done
[ "$i" -lt 100 ] || fail "gateway process $pid still runs 5 s after SIGUSR1"
for f in "$work"/logs/sanitizer*; do
  [ -e "$f" ] || continue
  cat "$f" >&2
  fail "sanitizer report $f"
done
rc=0
say "no leak"
