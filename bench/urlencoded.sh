#!/usr/bin/env bash
# Times the gateway on urlencoded POST bodies of 10,000 and 1,000,000 fields
# (decoding, re-encoding and payload building; the engine is unreachable so
# the run ends right after). With linear cost each tenfold body takes about
# ten times as long, once the fixed start-up cost is small beside it.
#   bench/urlencoded.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf 'REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3]\n"ServerURL"="127.0.0.1"\n"ServerPort"="1"\n' \
  >"$work/kavro3.reg"

run() {  # body-file -> seconds
  local body=$1 start end
  start=$(date +%s.%N)
  env -i KAVRO3_REGISTRY="$work/kavro3.reg" REQUEST_METHOD=POST \
    CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH="$(stat -c %s "$body")" \
    "$build/gateway" <"$body" >"$work/out"
  end=$(date +%s.%N)
  grep -q "Unable to connect" "$work/out" || { echo "unexpected output:" >&2; head -c 300 "$work/out" >&2; exit 1; }
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}

declare -A seconds
for fields in 10000 100000 1000000; do
  # "a&a&a...": the tiniest pairs, the most entries per byte.
  head -c $((fields * 2 - 1)) < <(yes 'a&' | tr -d '\n') >"$work/body-$fields"
  seconds[$fields]=$(run "$work/body-$fields")
  printf '%9d fields (%8d bytes): %.3f s\n' "$fields" "$(stat -c %s "$work/body-$fields")" "${seconds[$fields]}"
done
awk -v a="${seconds[100000]}" -v b="${seconds[1000000]}" \
  'BEGIN { printf "ratio 1,000,000 / 100,000 fields: %.1f (linear: about 10)\n", b / a }'
