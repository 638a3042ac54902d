#!/usr/bin/env bash
# The benchmarks' own programs do what the figures take them to do:
# bench-engine answers with the replies it promises, bench-relay relays them
# as the gateway does (plain, hex-decoded, Frames whole or split), the hello
# says hello, and bench-measure runs, feeds and reports as it says.
#   programs_test.sh BUILD_DIR
set -euo pipefail
build=$1
export LC_ALL=C
failures=0
passes=0
check() { # check NAME COMMAND...: a passing or failing line
  if "${@:2}"; then
    passes=$((passes + 1))
  else
    echo "FAIL: $1" >&2
    failures=$((failures + 1))
  fi
}

work=$(mktemp -d)
engine_pid=""
cleanup() {
  [ -z "$engine_pid" ] || kill "$engine_pid" 2>/dev/null || true
  [ -z "$engine_pid" ] || wait "$engine_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/bench-engine" >"$work/engine.out" 2>&1 &
engine_pid=$!
for _ in $(seq 100); do
  grep -q '^listening on 127.0.0.1:[0-9]*$' "$work/engine.out" && break
  sleep 0.05
done
port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/engine.out")
[ -n "$port" ] || {
  echo "bench-engine did not start: $(cat "$work/engine.out")" >&2
  exit 1
}
printf 'REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3]\n"ServerURL"="127.0.0.1"\n"ServerPort"="%s"\n' \
  "$port" >"$work/kavro3.reg"

run() { # run PROGRAM QUERY [VAR=VALUE...]: its standard output into $work/PROGRAM.out
  local program=$1 query=$2
  shift 2
  env -i KAVRO3_REGISTRY="$work/kavro3.reg" BENCH_ENGINE_PORT="$port" REQUEST_METHOD=GET \
    QUERY_STRING="$query" "$@" "$build/$program" >"$work/$program.out"
}
hex_of() { od -An -v -tx1 "$1" | tr -d ' \n'; }

hello=$'Content-Type: text/plain\r\n\r\nhello\n'
octet=$'Content-Type: application/octet-stream\r\n\r\n'
printf '%s' "$hello" >"$work/hello.expected"

# query | expected body: "hello", or raw/hex and its size in bytes
cases=(
  "x=1|hello"
  "|hello"
  "reply=raw&size=15|hello"        # under the smallest large reply: the small page
  "reply=raw&size=16|raw 13"       # "0", 0x01, 13 bytes, 0x01
  "reply=raw&size=5000|raw 4997"
  "reply=hex&size=5000|hex 2495"   # "0", 0x01, "KAVRO21", 4990 digits, 0x01
  "reply=hex&size=5001|hex 2495"   # an odd digit without a partner is dropped
  "reply=hex&size=100000000|hello" # over the Engine link's 99,999,999 bytes
)
for row in "${cases[@]}"; do
  query=${row%%|*} want=${row#*|}
  run gateway "$query"
  run bench-relay "$query"
  cp "$work/bench-relay.out" "$work/whole.out"
  run bench-relay "$query" BENCH_RELAY_SPLIT=1
  check "$query: the gateway and the relay write the same bytes" cmp -s "$work/gateway.out" "$work/whole.out"
  check "$query: Frames split or whole, the relay writes the same" cmp -s "$work/bench-relay.out" "$work/whole.out"
  case $want in
    hello) check "$query: hello" cmp -s "$work/gateway.out" "$work/hello.expected" ;;
    raw\ *)
      check "$query: ${want#raw } bytes" [ "$(stat -c %s "$work/gateway.out")" = "${want#raw }" ]
      check "$query: no zero byte in a plain reply" [ "$(tr -d '\000' <"$work/gateway.out" | wc -c)" = "${want#raw }" ]
      if [ "${want#raw }" -gt 1000 ]; then
        check "$query: the octet-stream header" [ "$(head -c ${#octet} "$work/gateway.out")" = "${octet%$'\n'}" ]
      fi
      ;;
    hex\ *)
      check "$query: ${want#hex } bytes" [ "$(stat -c %s "$work/gateway.out")" = "${want#hex }" ]
      # After the header, byte i of the body is i modulo 256: 42 (0x2A) first.
      tail -c +$((${#octet} + 1)) "$work/gateway.out" | head -c 4 >"$work/start"
      check "$query: every value after the header" [ "$(hex_of "$work/start")" = 2a2b2c2d ]
      check "$query: the zero bytes pass" [ "$(tr -d '\000' <"$work/gateway.out" | wc -c)" -lt "${want#hex }" ]
      ;;
  esac
done
run bench-hello ""
check "bench-hello: hello" cmp -s "$work/bench-hello.out" "$work/hello.expected"

# bench-measure: one line a run, "microseconds KiB status"; exit 1 when a
# run failed; standard input a file or a pipe, copied byte for byte.
head -c 300000 /dev/urandom >"$work/body"
lines=$("$build/bench-measure" -n 3 -- true)
check "bench-measure: three runs of true" [ "$(awk 'NF == 3 && $1 > 0 && $2 > 0 && $3 == 0' <<<"$lines" | wc -l)" = 3 ]
status=0
line=$("$build/bench-measure" -- false) || status=$?
check "bench-measure: false exits 1 and reports it" [ "$status $(cut -d' ' -f3 <<<"$line")" = "1 1" ]
status=0
line=$("$build/bench-measure" -- "$work/no-such-program" 2>/dev/null) || status=$?
check "bench-measure: a missing program is status 127" [ "$status $(cut -d' ' -f3 <<<"$line")" = "1 127" ]
for option in -i -p; do
  rm -f "$work/copy"
  "$build/bench-measure" -s "$option" "$work/body" -o "$work/copy" -- cat >/dev/null
  check "bench-measure $option: standard input copied" cmp -s "$work/body" "$work/copy"
done
# A program that stops reading early must not fail the feeder.
status=0
line=$("$build/bench-measure" -p "$work/body" -- head -c 10) || status=$?
check "bench-measure -p: a reader that stops early" [ "$status $(cut -d' ' -f3 <<<"$line")" = "0 0" ]
"$build/bench-measure" -o "$work/copy" -- echo again >/dev/null
check "bench-measure -o truncates" [ "$(cat "$work/copy")" = again ]

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
