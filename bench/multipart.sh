#!/usr/bin/env bash
# The multipart decoder on large bodies, through the real gateway and the
# sample engine, in FileMode 1 (the upload is spooled to disk and removed).
#
#   bench/multipart.sh [BUILD_DIR]        default: build
#
# Prints, each the best of RUNS runs (default 7):
#   1. a SIZE_MB upload (default 100) given as a file on standard input: the
#      gateway against `cat body > file` of the same bytes, run side by side,
#      and their ratio; the gateway's peak resident memory;
#   2. for comparison: the same body through a pipe, and a read/write copy
#      (dd) where cat copies inside the kernel;
#   3. twice that size against it (cost linear in size);
#   4. a body of 100,000 tiny parts against one of 10,000 (linear in parts),
#      also net of a one-part request's fixed cost.
# Work files go under BENCH_DIR (default /var/tmp), on disk like a spool.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
size_mb=${SIZE_MB:-100}
runs=${RUNS:-7}
port=${BENCH_PORT:-18088}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target benchmarks -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/kavro3-bench.XXXXXX")
engine_pid=""
cleanup() {
  if [ -n "$engine_pid" ]; then
    kill "$engine_pid" 2>/dev/null || true
    wait "$engine_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/spool"

cat >"$work/kavro3.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Halvorn\KAVRO3]
"ServerURL"="127.0.0.1"
"ServerPort"="$port"
"FileMode"="1"
"FilePath"="$work/spool/"
REG

"$build/sample-engine" --address 127.0.0.1 --port "$port" >/dev/null 2>&1 &
engine_pid=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

now() { date +%s%N; }
ms() { awk -v ns="$1" 'BEGIN { printf "%.1f ms", ns / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
min() { if [ -z "$1" ] || [ "$2" -lt "$1" ]; then echo "$2"; else echo "$1"; fi; }
make_body() { "$build/bench-multipart-body" "$@"; }

# gateway BODY [LENGTH]: one CGI POST of BODY on standard input (LENGTH
# bytes, by default BODY's size), answered into $work/out. CONTENT_TYPE
# comes from $type.
gateway() {
  env -i KAVRO3_REGISTRY="$work/kavro3.reg" REQUEST_METHOD=POST CONTENT_TYPE="$type" \
    CONTENT_LENGTH="${2:-$(stat -c %s "$1")}" SCRIPT_NAME=/bench/gateway REMOTE_ADDR=127.0.0.1 \
    REMOTE_PORT=4000 "$build/gateway" <"$1" >"$work/out"
}
# A report of the gateway (plain text) or of the decoder (an error page)
# instead of the engine's answer ends the benchmark.
check() {
  if head -c 300 "$work/out" | grep -q -e '^Content-type: text/plain' -e '<title>Error: '; then
    echo "the gateway failed:" >&2
    head -c 300 "$work/out" >&2
    exit 1
  fi
}
# time_gateway BODY: the best of $runs runs, in nanoseconds.
time_gateway() {
  local best="" t0 t1
  for _ in $(seq "$runs"); do
    sync
    t0=$(now); gateway "$1"; t1=$(now)
    check
    best=$(min "$best" $((t1 - t0)))
  done
  echo "$best"
}

echo "== ${size_mb} MB upload, FileMode 1: decode, spool, engine round trip, remove"
type=$(make_body --file "$size_mb" "$work/body")
gateway "$work/body" && check  # warms the page cache
best_cat="" best_gw="" best_dd="" best_pipe=""
for _ in $(seq "$runs"); do
  rm -f "$work/copy"
  sync
  t0=$(now); cat "$work/body" >"$work/copy"; t1=$(now)
  best_cat=$(min "$best_cat" $((t1 - t0)))
  sync  # neither run meets the other's writeback
  t0=$(now); gateway "$work/body"; t1=$(now)
  check
  best_gw=$(min "$best_gw" $((t1 - t0)))
done
for _ in $(seq "$runs"); do
  rm -f "$work/copy"
  sync
  t0=$(now); dd if="$work/body" of="$work/copy" bs=1M status=none; t1=$(now)
  best_dd=$(min "$best_dd" $((t1 - t0)))
  sync
  t0=$(now); cat "$work/body" | gateway /dev/stdin "$(stat -c %s "$work/body")"; t1=$(now)
  check
  best_pipe=$(min "$best_pipe" $((t1 - t0)))
done
rm -f "$work/copy"
echo "cat body > file:            $(ms "$best_cat")"
echo "gateway < body:             $(ms "$best_gw")   ratio $(ratio "$best_gw" "$best_cat") (target: at most 1.5)"
echo "for comparison:"
echo "  dd bs=1M (read and write): $(ms "$best_dd")"
echo "  cat body | gateway:        $(ms "$best_pipe")   ratio to cat $(ratio "$best_pipe" "$best_cat"), to dd $(ratio "$best_pipe" "$best_dd")"

peak() {  # peak resident KiB of one run on standard input given as $1
  env -i KAVRO3_REGISTRY="$work/kavro3.reg" REQUEST_METHOD=POST CONTENT_TYPE="$type" \
    CONTENT_LENGTH="$(stat -c %s "$work/body")" SCRIPT_NAME=/bench/gateway REMOTE_ADDR=127.0.0.1 \
    REMOTE_PORT=4000 /usr/bin/time -f '%M' "$build/gateway" 2>&1 >/dev/null | tail -n 1
}
upload_kib=$((size_mb * 1000 * 1000 / 1024))
if [ -x /usr/bin/time ]; then
  rss_file=$(peak <"$work/body")
  rss_pipe=$(cat "$work/body" | peak)
  echo "peak RSS, body in a file: $rss_file KiB; through a pipe: $rss_pipe KiB;" \
    "upload $upload_kib KiB + 16 MiB = $((upload_kib + 16384)) KiB (target)"
else
  echo "peak RSS: /usr/bin/time is missing (Debian package: time)"
fi

echo "== linearity in size: $((2 * size_mb)) MB against $size_mb MB"
make_body --file $((2 * size_mb)) "$work/body2" >/dev/null
gateway "$work/body2" && check
big=$(time_gateway "$work/body2")
echo "$((2 * size_mb)) MB: $(ms "$big"), $size_mb MB: $(ms "$best_gw"), ratio $(ratio "$big" "$best_gw") (about 2)"
rm -f "$work/body" "$work/body2"

echo "== linearity in parts: 100,000 tiny parts against 10,000"
make_body --parts 1 "$work/parts1" >/dev/null
make_body --parts 10000 "$work/parts10k" >/dev/null
make_body --parts 100000 "$work/parts100k" >/dev/null
one=$(time_gateway "$work/parts1")
small=$(time_gateway "$work/parts10k")
large=$(time_gateway "$work/parts100k")
echo "1 part: $(ms "$one"), 10,000 parts: $(ms "$small"), 100,000 parts: $(ms "$large")"
echo "ratio $(ratio "$large" "$small"); net of the one-part request: $(ratio $((large - one)) $((small - one))) (about 10)"
