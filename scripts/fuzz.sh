#!/usr/bin/env bash
# Runs every fuzz target of build-fuzz/ for SECONDS each (default 600), two at
# a time (one per core), from the checked-in seed corpus and its dictionary.
# New inputs go to build-fuzz/work/<target>/ (the checked-in corpus is only
# read); a crash, leak or broken invariant leaves its input in
# build-fuzz/findings/<target>/ and makes the run fail. Prints executions per
# second and the coverage (cov, ft) each target reached.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(multipart urlencoded engine_reply reg_file)
build=build-fuzz
logs=$build/logs
mkdir -p "$logs"

run() {
  local t=$1
  mkdir -p "$build/work/$t" "$build/findings/$t"
  # -rss_limit_mb: the address sanitizer's quarantine counts against it.
  "$build/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=16384 \
    -dict="fuzz/$t.dict" -artifact_prefix="$build/findings/$t/" -print_final_stats=1 \
    "$build/work/$t" "fuzz/corpus/$t" >"$logs/$t.log" 2>&1
  echo $? >"$logs/$t.rc"
}

# Two at a time: the machine has two cores.
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  run "${targets[i]}" &
  [ $((i + 1)) -lt ${#targets[@]} ] && run "${targets[i + 1]}" &
  wait
done

failed=0
printf '%-14s %10s %8s %8s %10s  %s\n' target exec/s cov ft runs result
for t in "${targets[@]}"; do
  rc=$(cat "$logs/$t.rc" 2>/dev/null || echo 1)
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$logs/$t.log" | tail -1)
  [ -z "$done_line" ] && done_line=$(grep -E '^#[0-9]+' "$logs/$t.log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
  eps=$(sed -n 's/^stat::average_exec_per_sec:[[:space:]]*//p' "$logs/$t.log")
  runs=$(sed -n 's/^stat::number_of_executed_units:[[:space:]]*//p' "$logs/$t.log")
  result=ok
  if [ "$rc" != 0 ]; then
    result="FAILED (exit $rc), see $logs/$t.log and $build/findings/$t/"
    failed=1
  fi
  printf '%-14s %10s %8s %8s %10s  %s\n' "$t" "${eps:-?}" "${cov:-?}" "${ft:-?}" "${runs:-?}" "$result"
done
if [ $failed -ne 0 ]; then
  for t in "${targets[@]}"; do
    [ "$(cat "$logs/$t.rc")" != 0 ] && tail -40 "$logs/$t.log"
  done
fi
exit $failed
