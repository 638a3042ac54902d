#!/usr/bin/env bash
# The benchmarks of `make bench`: every scenario with its competitors in the
# same run, round by round (each round runs every program once, so that a
# change in the machine's load meets them all alike). Writes the raw figures
# to OUT/raw.tsv and OUT/meta.tsv, then bench/report.py turns them into
# OUT/results.md, OUT/results.json and one PNG chart per scenario, and the
# table is printed.
#
#   bench/run.sh [BUILD_DIR]        default build; OUT is BUILD_DIR/bench
#
# Expects the release build's gateway and the `benchmarks` target built, and
# the Debian packages and bench/node_modules installed (`make bench` does all
# of it). Environment (defaults in brackets):
#   BENCH_SCENARIOS     which scenarios [get startup upload reply fields]
#   BENCH_RUNS          rounds, each figure the median of them [5]
#   BENCH_GET_SECONDS   wrk's time per program and round [5]
#   BENCH_STARTUP_BATCH spawns per program and round [200]
#   BENCH_UPLOAD_MIB    upload size; twice it for linearity [100]
#   BENCH_UPLOAD_BIG_MIB  the large upload through a pipe, for memory [1024]
#   BENCH_REPLY_MIB     reply Frame size; twice it for linearity [45]
#   BENCH_FIELDS        urlencoded field counts [10000 100000 1000000]
#   BENCH_PARTS         multipart part counts [10000 100000]
#   BENCH_DIR           where the work files go, on disk like a spool [/var/tmp]
set -euo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[[ $build == /* ]] || build=$repo/$build
out=$build/bench

scenarios=${BENCH_SCENARIOS:-get startup upload reply fields}
runs=${BENCH_RUNS:-5}
get_seconds=${BENCH_GET_SECONDS:-5}
startup_batch=${BENCH_STARTUP_BATCH:-200}
upload_mib=${BENCH_UPLOAD_MIB:-100}
upload_big_mib=${BENCH_UPLOAD_BIG_MIB:-1024}
reply_mib=${BENCH_REPLY_MIB:-45}
field_counts=${BENCH_FIELDS:-10000 100000 1000000}
part_counts=${BENCH_PARTS:-10000 100000}

die() {
  echo "bench: $*" >&2
  exit 1
}
started=$(date +%s)
say() { printf '[bench %4ds] %s\n' $(($(date +%s) - started)) "$*" >&2; }

for tool in gateway bench-measure bench-engine bench-hello bench-hello-dynamic bench-relay bench-fcgi-hello \
  bench-fcgi-relay bench-multipart-body; do
  [ -x "$build/$tool" ] || die "$build/$tool is missing: run make bench"
done
release_link=$(sed -n 's/^KAVRO3_GATEWAY_LINK:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$release_link" ] || die "$build is not configured (no KAVRO3_GATEWAY_LINK in its cache)"
node=$(command -v node) || die "node is missing"
[ -d "$repo/bench/node_modules/busboy" ] || die "bench/node_modules is missing: (cd bench && npm ci)"
for program in wrk lighttpd cgi-fcgi gnuplot curl; do
  command -v "$program" >/dev/null 2>&1 || [ -x "/usr/sbin/$program" ] || die "$program is missing"
done
export PATH=$PATH:/usr/sbin:/sbin

mkdir -p "$out"
rm -f "$out"/*.png "$out"/*.dat
raw=$out/raw.tsv
meta=$out/meta.tsv
printf 'scenario\tprogram\tcase\tmetric\trun\tvalue\n' >"$raw"
: >"$meta"
note() { printf '%s\t%s\n' "$1" "$2" >>"$meta"; }
record() { printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$raw"; }

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/kavro3-bench.XXXXXX")
chmod 755 "$work" # lighttpd's CGIs run as www-data when we are root
mkdir -p "$work"/{cgi-bin,fcgi-bin,htdocs,logs,tmp,land,spool,keep}
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# start_server NAME COMMAND...: starts a server that prints "listening on
# 127.0.0.1:PORT" and sets $port.
start_server() {
  local name=$1 line="" i
  shift
  "$@" >"$work/logs/$name.out" 2>&1 &
  pids+=($!)
  for ((i = 0; i < 100; i++)); do
    line=$(head -n 1 "$work/logs/$name.out")
    [[ $line == "listening on "* ]] && break
    sleep 0.05
  done
  [[ $line == "listening on "* ]] || die "$name did not start: $(cat "$work/logs/$name.out")"
  port=${line##*:}
}

start_server engine "$build/bench-engine"
engine_pid=${pids[-1]} engine_port=$port
start_server fcgi "$build/bench-fcgi-hello"
fcgi_port=$port

reg() { # reg FILE [NAME VALUE]...: a settings file for the bench engine
  local file=$1
  shift
  {
    printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3]\n'
    printf '"ServerURL"="127.0.0.1"\n"ServerPort"="%s"\n' "$engine_port"
    while [ $# -ge 2 ]; do
      printf '"%s"="%s"\n' "$1" "$2"
      shift 2
    done
  } >"$file"
  chmod 644 "$file"
}
reg "$work/get.reg"
reg "$work/upload.reg" FileMode 1 FilePath "$work/spool/"
reg "$work/keep.reg" FileMode 2 FilePath "$work/keep/"

# The programs of the GET and start-up scenarios, in cgi-bin: key, label.
programs=(hello relay gateway)
note program.hello "static C hello CGI"
note program.hello-dynamic "C hello CGI, dynamically linked"
note program.relay "static C relay, same three Frames"
note program.relay-split "static C relay, each Frame in two sends"
note program.gateway "gateway, release build ($release_link)"
cp "$build/bench-hello" "$build/bench-relay" "$work/cgi-bin/"
mv "$work/cgi-bin/bench-hello" "$work/cgi-bin/hello"
mv "$work/cgi-bin/bench-relay" "$work/cgi-bin/relay"
cp "$build/gateway" "$work/cgi-bin/gateway"
for binary in "$build"/bench-gateway-*; do
  mode=${binary##*/bench-gateway-}
  [ "$mode" != "$release_link" ] || continue
  programs+=("gateway-$mode")
  note "program.gateway-$mode" "gateway, $mode"
  cp "$binary" "$work/cgi-bin/gateway-$mode"
done
programs+=(cgi-fcgi)
note program.cgi-fcgi "cgi-fcgi bridge to a FastCGI hello"
printf '#!/usr/bin/cgi-fcgi -f\n-bind -connect 127.0.0.1:%s\n' "$fcgi_port" >"$work/cgi-bin/cgi-fcgi"
chmod 755 "$work"/cgi-bin/*
# GET only: the gateway and the relay as FastCGI applications (lighttpd
# starts them; nothing to spawn per request).
fastcgi_programs=(fcgi-gateway fcgi-relay)
note program.fcgi-gateway "gateway, release build, under mod_fastcgi (2 processes)"
note program.fcgi-relay "libfcgi relay, same three Frames, under mod_fastcgi (2 processes)"
cp "$build/bench-fcgi-relay" "$work/fcgi-bin/relay"

# The URL of a GET program.
get_path() {
  case $1 in
    fcgi-*) echo "/fcgi/${1#fcgi-}" ;;
    *) echo "/cgi/$1" ;;
  esac
}

hello_reply=$'Content-Type: text/plain\r\n\r\nhello\n'
cgi_env=(PATH=/usr/bin:/bin GATEWAY_INTERFACE=CGI/1.1 SERVER_PROTOCOL=HTTP/1.1 SERVER_NAME=127.0.0.1
  SERVER_PORT=80 SCRIPT_NAME=/bench/gateway REMOTE_ADDR=127.0.0.1 REMOTE_PORT=4000
  BENCH_ENGINE_PORT="$engine_port" BENCH_LAND="$work/land/upload" TMPDIR="$work/land")

# measure [VAR=VALUE...] -- [bench-measure options] -- PROGRAM [ARG...]: one
# or more runs in a CGI environment; prints bench-measure's lines. A failed
# run ends the benchmark.
measure() {
  local envs=() lines
  while [ "$1" != -- ]; do
    envs+=("$1")
    shift
  done
  shift
  lines=$(env -i "${cgi_env[@]}" "${envs[@]}" "$build/bench-measure" "$@") ||
    die "failed: ${envs[*]} $*: $(tail -n 1 <<<"$lines")"
  printf '%s\n' "$lines"
}

# ---- requests per second through lighttpd -----------------------------------

user_lines=""
if [ "$(id -u)" -eq 0 ]; then
  user_lines=$'server.username = "www-data"\nserver.groupname = "www-data"'
  chown www-data:www-data "$work/tmp" "$work/logs"
fi
start_lighttpd() {
  local text i
  lighttpd_port=$(((RANDOM * 32768 + RANDOM) % 12000 + 20000))
  text=$(<"$repo/bench/lighttpd.conf.in")
  text=${text//@DIR@/$work}
  text=${text//@PORT@/$lighttpd_port}
  text=${text//@ENGINE_PORT@/$engine_port}
  text=${text//@USER_LINES@/$user_lines}
  printf '%s\n' "$text" >"$work/lighttpd.conf"
  lighttpd -D -f "$work/lighttpd.conf" </dev/null >"$work/logs/lighttpd.out" 2>&1 &
  pids+=($!)
  # Ours answers hello; a port taken by something else makes lighttpd exit.
  # (A child that has exited stays a zombie until the clean-up waits for
  # it: its PID cannot go to another process meanwhile.)
  for ((i = 0; i < 100; i++)); do
    kill -0 "${pids[-1]}" 2>/dev/null || return 1
    [ "$(curl -s "http://127.0.0.1:$lighttpd_port/cgi/hello")" != hello ] || return 0
    sleep 0.1
  done
  return 1
}

# CPU time (clock ticks) the engine has used so far.
engine_ticks() { awk '{ print $14 + $15 }' "/proc/$engine_pid/stat"; }

scenario_get() {
  local program r text rps requests engine_requests=0 ticks
  local listening=""
  for _ in 1 2 3 4 5; do start_lighttpd && listening=1 && break; done
  [ -n "$listening" ] ||
    die "lighttpd did not start: $(tail -n 5 "$work/logs/lighttpd.out" "$work/logs/error.log" 2>/dev/null)"
  local list=("${programs[@]}" "${fastcgi_programs[@]}")
  for program in "${list[@]}"; do
    text=$(curl -s "http://127.0.0.1:$lighttpd_port$(get_path "$program")?x=1")
    [ "$text" = hello ] || die "GET $(get_path "$program") answered: $(head -c 300 <<<"$text")"
    wrk -t1 -c4 -d1s "http://127.0.0.1:$lighttpd_port$(get_path "$program")" >/dev/null # warm-up
  done
  ticks=$(engine_ticks)
  for ((r = 1; r <= runs; r++)); do
    for program in "${list[@]}"; do
      text=$(wrk -t1 -c4 -d"${get_seconds}s" --timeout 10s "http://127.0.0.1:$lighttpd_port$(get_path "$program")")
      if grep -qE 'Non-2xx|Socket errors' <<<"$text"; then
        die "wrk on $program: $(grep -E 'Non-2xx|Socket errors' <<<"$text")"
      fi
      rps=$(awk '/^Requests\/sec:/ { print $2 }' <<<"$text")
      requests=$(awk '/ requests in / { print $1 }' <<<"$text")
      [ -n "$rps" ] || die "wrk on $program printed no rate: $text"
      record get "$program" - rps "$r" "$rps"
      [[ $program == hello || $program == cgi-fcgi ]] || engine_requests=$((engine_requests + requests))
    done
    say "GET: round $r of $runs"
  done
  ticks=$(($(engine_ticks) - ticks))
  note engine.conversations "$engine_requests"
  note engine.cpu_seconds "$(awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", t / hz }')"
  note get.wrk "wrk -t1 -c4 -d${get_seconds}s --timeout 10s"
}

# ---- start-up: one GET, spawned straight from a parent --------------------

scenario_startup() {
  local list=("${programs[@]}" hello-dynamic relay-split) program r lines split
  cp "$build/bench-hello-dynamic" "$work/cgi-bin/hello-dynamic"
  cp "$build/bench-relay" "$work/cgi-bin/relay-split"
  for program in "${list[@]}"; do
    # relay-split: the relay sending each Frame as the gateway does.
    split=BENCH_RELAY_SPLIT=
    [ "$program" != relay-split ] || split=BENCH_RELAY_SPLIT=1
    measure KAVRO3_REGISTRY="$work/get.reg" REQUEST_METHOD=GET QUERY_STRING=x=1 "$split" -- \
      -o "$work/out" -- "$work/cgi-bin/$program" >/dev/null
    [ "$(cat "$work/out")" = "${hello_reply%$'\n'}" ] || die "$program answered: $(head -c 300 "$work/out")"
  done
  for ((r = 1; r <= runs; r++)); do
    for program in "${list[@]}"; do
      split=BENCH_RELAY_SPLIT=
      [ "$program" != relay-split ] || split=BENCH_RELAY_SPLIT=1
      lines=$(measure KAVRO3_REGISTRY="$work/get.reg" REQUEST_METHOD=GET QUERY_STRING=x=1 "$split" -- \
        -n "$startup_batch" -- "$work/cgi-bin/$program")
      record startup "$program" - us "$r" "$(sort -n <<<"$lines" | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }')"
    done
  done
  say "start-up: $runs rounds of $startup_batch runs each"
  note startup.batch "$startup_batch"
}

# ---- upload: one large file, decoded and landed on disk ---------------------

form_programs=(gateway perl python node)
note program.cat "cat body > file (the floor)"
note program.dd "dd bs=1M (read and write)"
note program.perl "Perl CGI.pm $(perl -MCGI -e 'print $CGI::VERSION')"
note program.python "Python $(/usr/bin/python3 -c 'import platform; print(platform.python_version())') cgi.FieldStorage"
note program.node "Node $("$node" --version) busboy $(sed -n 's/.*"version": "\(.*\)".*/\1/p' "$repo/bench/node_modules/busboy/package.json")"

# form_command PROGRAM: sets form to the command line of a form decoder.
form_command() {
  case $1 in
    gateway) form=("$build/gateway") ;;
    perl) form=(/usr/bin/perl "$repo/bench/form_cgi.pl") ;;
    python) form=(/usr/bin/python3 "$repo/bench/form_fieldstorage.py") ;;
    node) form=("$node" "$repo/bench/form_busboy.mjs") ;;
  esac
}

# The expected SHA-256 of the upload inside BODY (SIZE bytes after the part's
# header).
upload_sha() {
  /usr/bin/python3 - "$1" "$2" <<'PY'
import hashlib, sys
path, left = sys.argv[1], int(sys.argv[2])
with open(path, "rb") as f:
    f.seek(f.read(4096).index(b"\r\n\r\n") + 4)
    digest = hashlib.sha256()
    while left:
        block = f.read(min(left, 1 << 20))
        digest.update(block)
        left -= len(block)
print(digest.hexdigest())
PY
}

upload_once() { # upload_once PROGRAM STDIN-OPTION BODY [REGISTRY]: one run's line
  local program=$1 option=$2 body=$3 registry=${4:-$work/upload.reg} type length form
  type=$(cat "$body.type")
  length=$(stat -c %s "$body")
  rm -f "$work"/land/* "$work"/spool/*
  case $program in
    cat | dd)
      local command=(cat)
      [ "$program" = cat ] || command=(dd bs=1M status=none)
      measure -- -s "$option" "$body" -o "$work/land/upload" -- "${command[@]}"
      ;;
    *)
      form_command "$program"
      measure KAVRO3_REGISTRY="$registry" REQUEST_METHOD=POST CONTENT_TYPE="$type" CONTENT_LENGTH="$length" -- \
        -s "$option" "$body" -o "$work/out" -- "${form[@]}"
      ;;
  esac
}

scenario_upload() {
  local sizes=("$upload_mib" $((2 * upload_mib)) "$upload_big_mib") size program expected landed line r kase option
  for size in "${sizes[@]}"; do
    "$build/bench-multipart-body" --file "$size" "$work/body$size" >"$work/body$size.type"
  done
  # Every decoder once, body in a file: the landed bytes must be the upload.
  size=${sizes[0]}
  expected=$(upload_sha "$work/body$size" $((size << 20)))
  for program in cat gateway perl python node; do
    rm -rf "$work"/keep/*
    upload_once "$program" -i "$work/body$size" "$work/keep.reg" >/dev/null
    landed=$work/land/upload
    [ "$program" != gateway ] || landed=$(echo "$work"/keep/*)
    if [ "$program" = cat ]; then
      cmp -s "$landed" "$work/body$size" || die "cat did not copy the body"
    elif [ ! -f "$landed" ] || [ "$(sha256sum <"$landed" | cut -d' ' -f1)" != "$expected" ]; then
      die "$program did not land the upload intact ($landed): $(head -c 300 "$work/out")"
    fi
  done
  rm -rf "$work"/keep/* "$work"/land/*
  say "upload: every decoder landed the ${size} MiB upload intact"
  for ((r = 1; r <= runs; r++)); do
    for kase in "file-${sizes[0]}" "pipe-${sizes[0]}" "file-${sizes[1]}" "pipe-${sizes[2]}"; do
      size=${kase#*-}
      if [[ $kase == file-* ]]; then option=-i; else option=-p; fi
      for program in cat dd gateway perl python node; do
        [ "$program" != dd ] || [ "$kase" = "file-${sizes[0]}" ] || continue
        # The large upload is for the gateway's memory: the floor and CGI.pm beside it.
        if [ "$kase" = "pipe-${sizes[2]}" ]; then
          case $program in cat | gateway | perl) ;; *) continue ;; esac
        fi
        line=$(upload_once "$program" "$option" "$work/body$size")
        record upload "$program" "$kase" ms "$r" "$(awk '{ printf "%.3f", $1 / 1000 }' <<<"$line")"
        record upload "$program" "$kase" rss_kib "$r" "$(awk '{ print $2 }' <<<"$line")"
      done
    done
    say "upload: round $r of $runs"
  done
  rm -f "$work"/land/* "$work"/spool/* "$work"/body*
  note upload.mib "$upload_mib"
  note upload.big_mib "$upload_big_mib"
}

# ---- reply: a large engine reply relayed to standard output -----------------

scenario_reply() {
  local sizes=("$reply_mib" $((2 * reply_mib))) size mode kase program line r want
  for mode in raw hex; do
    for size in "${sizes[@]}"; do
      kase=$mode-$size
      # Both relay the same bytes (this also has the engine build the reply).
      for program in gateway relay; do
        measure KAVRO3_REGISTRY="$work/get.reg" REQUEST_METHOD=GET QUERY_STRING="reply=$mode&size=$((size << 20))" -- \
          -o "$work/reply-$program" -- "$work/cgi-bin/$program" >/dev/null
      done
      want=$(((size << 20) - 3))
      [ "$mode" = raw ] || want=$((((size << 20) - 10) / 2))
      [ "$(stat -c %s "$work/reply-relay")" = "$want" ] || die "the relay wrote $(stat -c %s "$work/reply-relay") bytes of $kase, not $want"
      cmp -s "$work/reply-gateway" "$work/reply-relay" || die "the gateway and the relay wrote different $kase replies"
    done
  done
  rm -f "$work"/reply-*
  for ((r = 1; r <= runs; r++)); do
    for mode in raw hex; do
      for size in "${sizes[@]}"; do
        for program in gateway relay; do
          line=$(measure KAVRO3_REGISTRY="$work/get.reg" REQUEST_METHOD=GET \
            QUERY_STRING="reply=$mode&size=$((size << 20))" -- -- "$work/cgi-bin/$program")
          record reply "$program" "$mode-$size" ms "$r" "$(awk '{ printf "%.3f", $1 / 1000 }' <<<"$line")"
          record reply "$program" "$mode-$size" rss_kib "$r" "$(awk '{ print $2 }' <<<"$line")"
        done
      done
    done
  done
  say "reply: $runs rounds"
  note reply.mib "$reply_mib"
}

# ---- fields: many small fields -----------------------------------------------

scenario_fields() {
  local count program kase line r answer cases=()
  for count in $field_counts; do
    # "a=b&a=b...": the smallest pairs every decoder keeps.
    head -c $((count * 4 - 1)) < <(yes 'a=b&' | tr -d '\n') >"$work/urlencoded-$count"
    echo application/x-www-form-urlencoded >"$work/urlencoded-$count.type"
  done
  for count in $part_counts; do
    "$build/bench-multipart-body" --parts "$count" "$work/multipart-$count" >"$work/multipart-$count.type"
  done
  fields_once() { # fields_once PROGRAM BODY: one run's line
    local form
    form_command "$1"
    measure KAVRO3_REGISTRY="$work/get.reg" REQUEST_METHOD=POST CONTENT_TYPE="$(cat "$2.type")" \
      CONTENT_LENGTH="$(stat -c %s "$2")" -- -i "$2" -o "$work/out" -- "${form[@]}"
  }
  # Python's cgi.FieldStorage takes seconds for 10,000 parts, and its time
  # grows faster than the parts: it sits the multipart rows out.
  for count in $field_counts; do cases+=("urlencoded-$count"); done
  for count in $part_counts; do cases+=("multipart-$count"); done
  for kase in "${cases[@]}"; do
    count=${kase#*-}
    for program in "${form_programs[@]}"; do
      [[ $program != python || $kase != multipart-* ]] || continue
      fields_once "$program" "$work/$kase" >/dev/null
      answer=$(tail -n 1 "$work/out")
      if [ "$program" = gateway ]; then
        [ "$answer" = hello ] || die "the gateway answered $kase with: $(head -c 300 "$work/out")"
      else
        [ "$answer" = "$count values" ] || die "$program answered $kase with: $(head -c 300 "$work/out")"
      fi
    done
  done
  for ((r = 1; r <= runs; r++)); do
    for kase in "${cases[@]}"; do
      for program in "${form_programs[@]}"; do
        [[ $program != python || $kase != multipart-* ]] || continue
        line=$(fields_once "$program" "$work/$kase")
        record fields "$program" "$kase" ms "$r" "$(awk '{ printf "%.3f", $1 / 1000 }' <<<"$line")"
        record fields "$program" "$kase" rss_kib "$r" "$(awk '{ print $2 }' <<<"$line")"
      done
    done
    say "fields: round $r of $runs"
  done
  rm -f "$work"/urlencoded-* "$work"/multipart-*
}

# ---- the run ------------------------------------------------------------------

note date "$(date -u '+%Y-%m-%d %H:%M UTC')"
note machine "$(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
# shellcheck source=/dev/null
note system "$(. /etc/os-release && echo "$PRETTY_NAME"), Linux $(uname -r)"
note load.start "$(cut -d' ' -f1-3 /proc/loadavg)"
note runs "$runs"
note release.link "$release_link"
note commit "$(git -C "$repo" describe --always --dirty 2>/dev/null || echo unknown)"
note versions "$(lighttpd -v 2>&1 | cut -d' ' -f1), wrk $(dpkg-query -W -f='${Version}' wrk), cgi-fcgi (libfcgi-bin $(dpkg-query -W -f='${Version}' libfcgi-bin)), gcc $(gcc -dumpfullversion)"
note scenarios "$scenarios"

for scenario in $scenarios; do
  case $scenario in
    get | startup | upload | reply | fields) ;;
    *) die "unknown scenario $scenario (get startup upload reply fields)" ;;
  esac
  say "$scenario"
  "scenario_$scenario"
done
note load.end "$(cut -d' ' -f1-3 /proc/loadavg)"
note seconds "$(($(date +%s) - started))"

/usr/bin/python3 "$repo/bench/report.py" "$out"
