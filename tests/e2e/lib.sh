# shellcheck shell=bash
# Helpers of the end-to-end tests (sourced by run.sh): starting sites,
# requests with curl, exact assertions, and the encodings the gateway and the
# sample engine apply. run.sh sets server, server_software, work and
# site_user (the UserName of the case's site).
# shellcheck disable=SC2154

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export LC_ALL=C
shopt -u patsub_replacement 2>/dev/null || true

sites=()
failures=0
passes=0

# ---- sites ---------------------------------------------------------------

# The run's work directory, which the web server's user (www-data when
# started as root) walks through; removed at the end unless something failed
# or KAVRO3_E2E_KEEP is set. Sets $work.
make_work_dir() { # make_work_dir NAME
  work=$(mktemp -d "${TMPDIR:-/tmp}/kavro3-e2e-$1.XXXXXX")
  chmod 755 "$work"
  trap finish EXIT
  trap 'exit 130' INT TERM
}

finish() {
  stop_sites
  if [ "$failures" -eq 0 ] && [ "$passes" -gt 0 ] && [ -z "${KAVRO3_E2E_KEEP:-}" ]; then
    rm -rf "$work"
  else
    echo "e2e: kept $work" >&2
  fi
}

# site_start NAME [VAR=VALUE...]: scripts/site.sh start $work/NAME $server with
# the variables given; the site's directory is $work/NAME.
site_start() {
  local name=$1
  shift
  sites+=("$work/$name")
  env "$@" "$repo/scripts/site.sh" start "$work/$name" "$server" >"$work/$name.start.log" 2>&1 || {
    cat "$work/$name.start.log" >&2
    echo "e2e: could not start the site $name" >&2
    return 1
  }
}

site_url() { cat "$work/$1/url"; }

stop_sites() {
  local s
  for s in "${sites[@]}"; do "$repo/scripts/site.sh" stop "$s" || true; done
}

# ---- requests ------------------------------------------------------------

UA="kavro3-e2e/1.0"

# fetch URL [curl args...]: the response lands in $work/last.headers (the
# final header block, CR removed) and $work/last.body.
fetch() {
  local url=$1
  shift
  rm -f "$work/last.raw-headers" "$work/last.headers" "$work/last.body"
  curl -sS --max-time 60 -A "$UA" -D "$work/last.raw-headers" -o "$work/last.body" "$@" "$url" ||
    fail "curl $* $url failed"
  # Keep the last block only: a 100 Continue comes before the real answer.
  awk '/^HTTP\// { n = 0 } { sub(/\r$/, ""); block[n++] = $0 } END { for (i = 0; i < n; i++) print block[i] }' \
    "$work/last.raw-headers" >"$work/last.headers"
}

status() { head -n 1 "$work/last.headers" | cut -d' ' -f2; }

# All values of header NAME (any letter case), one a line.
header_values() {
  local name=$1
  awk -v n="$name" 'NR > 1 && index($0, ":") {
      k = substr($0, 1, index($0, ":") - 1); v = substr($0, index($0, ":") + 1); sub(/^[ \t]+/, "", v)
      if (tolower(k) == tolower(n)) print v }' "$work/last.headers"
}

# ---- assertions ----------------------------------------------------------

fail() {
  echo "    FAIL: $*" >&2
  exit 1 # ends the case: each case runs in a subshell
}

expect_status() {
  local got
  got=$(status)
  [ "$got" = "$1" ] || fail "status $got, expected $1 (headers: $(tr '\n' '|' <"$work/last.headers"))"
}

# expect_header NAME VALUE: exactly one such header, with exactly this value.
expect_header() {
  local got
  got=$(header_values "$1")
  [ "$got" = "$2" ] || fail "header $1: got [$(echo "$got" | tr '\n' '|')], expected [$2]"
}

expect_no_header() {
  local got
  got=$(header_values "$1")
  [ -z "$got" ] || fail "unexpected header $1: $got"
}

# A Content-Length, when the server sends one, must match the body.
expect_length_consistent() {
  local len size
  len=$(header_values Content-Length)
  [ -z "$len" ] && return 0
  size=$(stat -c %s "$work/last.body")
  [ "$len" = "$size" ] || fail "Content-Length $len but $size bytes of body"
}

# expect_body FILE: the body, byte for byte. On a difference both are kept
# as $work/failed.expected and $work/failed.received.
expect_body() {
  if ! cmp -s "$1" "$work/last.body"; then
    cp "$1" "$work/failed.expected"
    cp "$work/last.body" "$work/failed.received"
    echo "    body differs (- expected, + received; cat -A notation):" >&2
    diff -u <(cat -A "$1") <(cat -A "$work/last.body") | tail -n +3 | grep '^[-+]' | head -n 30 |
      cut -c 1-300 | sed 's/^/      /' >&2
    fail "body differs"
  fi
}

# expect_body_text TEXT: as expect_body, the text given with printf %s.
expect_body_text() {
  printf '%s' "$1" >"$work/expected.body"
  expect_body "$work/expected.body"
}

expect_body_contains() {
  grep -qF -- "$1" "$work/last.body" || fail "body lacks: $1"
}

# expect_log SITE LINE: the gateway's error-log line reached the web server's
# log. lighttpd writes a CGI's standard error as it stands to
# server.breakagelog; Apache puts "AH01215: stderr from SCRIPT: " before each
# line in its ErrorLog and doubles the backslashes; nginx quotes it after
# "FastCGI sent in stderr: ". Under FastCGI, lighttpd puts "FastCGI-stderr:"
# before it in its error log, mod_fcgid "mod_fcgid: stderr: " (backslashes
# doubled). The server may write it after the response, so it is waited for.
expect_log() {
  local site=$1 line=$2 file pattern i whole=-x
  if [ "$server" = lighttpd ]; then
    file=$work/$site/logs/breakage.log
    pattern=$line
  elif [ "$server" = lighttpd-fastcgi ]; then
    file=$work/$site/logs/error.log
    pattern="FastCGI-stderr:$line"
    whole=""
  elif [ "$server" = apache-fcgid ]; then
    file=$work/$site/logs/error.log
    pattern="mod_fcgid: stderr: ${line//\\/\\\\}"
    whole=""
  elif [[ $server == nginx* ]]; then
    # fcgiwrap -f, or the gateway as a FastCGI application, hands the line
    # to nginx, which drops the dots and blanks at its end and quotes it.
    file=$work/$site/logs/error.log
    while [[ $line == *[.\ ] ]]; do line=${line%?}; done
    pattern="FastCGI sent in stderr: \"$line\" while"
    whole=""
  else
    whole=""
    file=$work/$site/logs/error.log
    pattern="AH01215: stderr from $work/$site/cgi-bin/gateway: ${line//\\/\\\\}"
  fi
  for ((i = 0; i < 60; i++)); do
    grep -qF $whole -- "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.05
  done
  fail "no line in $file: $pattern"
}

# No sanitizer report from any gateway run of the site (sanitizer builds).
expect_no_sanitizer_report() {
  local f
  for f in "$work/$1"/logs/sanitizer*; do
    [ -e "$f" ] || continue
    cat "$f" >&2
    fail "sanitizer report $f"
  done
}

# ---- encodings -----------------------------------------------------------

hex_bytes() { printf '%s' "$1" | od -An -v -tx1 | tr -s ' \n' '  '; }

# The gateway's urlEncode: 0-9 A-Z a-z and @ . / \ - _ : stay, the rest %XX.
url_encode() {
  local b out=""
  for b in $(hex_bytes "$1"); do
    case $b in
      3[0-9] | 4[1-9a-f] | 5[0-9a] | 6[1-9a-f] | 7[0-9a] | 40 | 2e | 2f | 5c | 2d | 5f | 3a)
        out+=$(printf "\\x$b") ;;
      *) out+="%${b^^}" ;;
    esac
  done
  printf '%s' "$out"
}

# The sample engine's line escape: 0x21-0x7E but '%' stay, the rest %XX.
line_escape() {
  local b out=""
  for b in $(hex_bytes "$1"); do
    case $b in
      2[1-46-9a-f] | [3-6][0-9a-f] | 7[0-9a-e]) out+=$(printf "\\x$b") ;;
      *) out+="%${b^^}" ;;
    esac
  done
  printf '%s' "$out"
}

sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

# ---- the engine's /echo page ---------------------------------------------

row_names=(QUERY_STRING PATH_INFO CONTENT_TYPE CONTENT_LENGTH GATEWAY_INTERFACE HTTPS HTTP_ACCEPT
  HTTP_COOKIE HTTP_FROM HTTP_REFERER HTTP_USER_AGENT PATH_TRANSLATED REMOTE_ADDR REMOTE_HOST
  REMOTE_IDENT REMOTE_USER REQUEST_METHOD SCRIPT_NAME SERVER_NAME SERVER_PORT SERVER_PROTOCOL
  SERVER_SOFTWARE SERVER_URL NODECODE ISBINARY REGISTRY_SETTINGS)

# The request as the case expects the engine to see it:
#   row[0..25]   raw row values (row 0 is built from fields by echo_expect)
#   additional   values after the 26 rows
#   fields       "name=value" pairs, decoded, in order
#   files        "field<TAB>size<TAB>sha256<TAB>filename" lines, raw
declare -a row additional fields files

# RegistryInfo as the gateway builds it for the key "shop" of a site.
registry_info() {
  local site=$1 user=${2:-} filemode=${3:-1} page=${4:-}
  printf 'RegistryInfo=%s&EngineName=&ServerURL=127.0.0.1&ServerPort=%s&ApplicationName=shop&UserName=%s' \
    "$(url_encode 'SOFTWARE\Halvorn\KAVRO3\shop')" "$(cat "$work/$site/engine.port")" "$(url_encode "$user")"
  printf '&StartupFlags=65&ShutdownFlags=1&FilePath=%s&FileMode=%s&SysDownPage=%s&HXLocation=&AdditionalValues=' \
    "$(url_encode "$work/$site/spool/")" "$(url_encode "$filemode")" "$(url_encode "$page")"
}

# echo_rows SITE METHOD PATH_INFO: the rows of a plain request through the
# site's web server; the case then changes what its request changes.
echo_rows() {
  local site=$1 method=$2 path_info=$3 i
  for ((i = 0; i < 26; i++)); do row[i]=""; done
  additional=()
  fields=()
  files=()
  row[1]=$path_info
  row[4]="CGI/1.1"
  row[6]="*/*"
  row[10]=$UA
  row[12]="127.0.0.1"
  row[16]=$method
  row[17]="/shop/gateway"
  row[18]="127.0.0.1"
  row[19]=$(cat "$work/$site/server.port")
  row[20]="HTTP/1.1"
  row[21]=$server_software
  if [ -n "$path_info" ]; then
    # lighttpd translates PATH_INFO under the script's own path (its
    # DOCUMENT_ROOT is the alias target), Apache under DocumentRoot.
    if [ "$server" = lighttpd ]; then
      row[11]="$work/$site/cgi-bin/gateway$path_info"
    else
      row[11]="$work/$site/htdocs$path_info"
    fi
  fi
  # lighttpd sets CONTENT_LENGTH=0 for a request without a body; Apache
  # leaves it unset.
  [ "$server" = lighttpd ] && [ "$method" = GET ] && row[3]=0
  row[25]=$(registry_info "$site" "$site_user")
}

# Writes the expected /echo body to $work/expected.body.
echo_expect() {
  local i pair name value q=""
  for pair in "${fields[@]}"; do
    name=${pair%%=*}
    value=${pair#*=}
    q+="$(url_encode "$name")=$(url_encode "$value")&"
  done
  row[0]=${q%&}
  {
    for ((i = 0; i < 26; i++)); do
      printf 'row %d %s=%s\n' "$i" "${row_names[i]}" "$(line_escape "${row[i]}")"
    done
    for ((i = 0; i < ${#additional[@]}; i++)); do
      printf 'additional %d=%s\n' "$i" "$(line_escape "${additional[i]}")"
    done
    for pair in "${fields[@]}"; do
      printf 'field %s=%s\n' "$(line_escape "${pair%%=*}")" "$(line_escape "${pair#*=}")"
    done
    local size sha filename
    for pair in "${files[@]}"; do
      IFS=$'\t' read -r name size sha filename <<<"$pair"
      printf 'file %s %s %s %s\n' "$(line_escape "$name")" "$size" "$sha" "$(line_escape "$filename")"
    done
  } >"$work/expected.body"
}

# The spooled path the engine received for FIELD, from the /echo body.
spooled_path() {
  local line
  line=$(grep -m1 "^field $1=" "$work/last.body") || fail "no field $1 in the reply"
  printf '%s' "${line#field "$1"=}"
}

# No file is left in SITE's spool directory.
expect_spool_empty() {
  local left
  left=$(ls -A "$work/$1/spool")
  [ -z "$left" ] || fail "spooled files left in $1/spool: $left"
}

# expect_spool_name PATH SITE INDEX: FilePath, the index, 32 hex digits.
expect_spool_name() {
  [[ $1 =~ ^"$work/$2/spool/$3"[0-9a-f]{32}$ ]] || fail "spooled path $1 is not $work/$2/spool/$3 + 32 hex digits"
}

# ---- running cases -------------------------------------------------------

# A site whose engine is down answers with the link's text and logs it.
case_engine_down() {
  local port
  port=$(cat "$work/down/engine.port")
  fetch "$(site_url down)/echo"
  expect_status 200
  expect_header Content-Type text/plain
  expect_body_text $'\n'"Unable to connect to Engine Server 127.0.0.1:$port - The attempt to connect was forcefully rejected."$'\n\n'
  expect_log down 'kavro3: key=SOFTWARE\Halvorn\KAVRO3\shop script=/shop/gateway remote=127.0.0.1 msg=Unable to connect to Engine Server 127.0.0.1:'"$port"' - The attempt to connect was forcefully rejected.'
}

# A body the decoder refuses gives its page and its log line.
case_decoder_error() {
  fetch "$(site_url main)/echo" -H 'Content-Type: multipart/form-data; boundary=XYZ' \
    --data-binary 'this is not a multipart body'
  expect_status 200
  expect_header Content-Type text/html
  printf '<html>\n<head>\n<title>Error: %s</title>\n<script language='"'"'JavaScript'"'"'>\n  alert("%s");\n  history.back();\n</script>\n</head>\n</html>\n' \
    "_parse_multipart_data(): String format invalid." "_parse_multipart_data(): String format invalid." \
    >"$work/expected.body"
  expect_body "$work/expected.body"
  expect_log main "kavro3: key=- script=/shop/gateway remote=127.0.0.1 msg=_parse_multipart_data(): String format invalid."
}

# A case of every site: an upload reaches the engine through the spool and
# is gone afterwards; a chunked body gets its CONTENT_LENGTH from the server.
case_upload() {
  head -c 300000 /dev/urandom >"$work/upload.bin"
  local sha
  sha=$(sha256_of "$work/upload.bin")
  fetch "$(site_url main)/echo" -F "doc=@$work/upload.bin;type=application/octet-stream;filename=data.bin"
  expect_status 200
  grep -qx "file doc 300000 $sha data.bin" "$work/last.body" || fail "$(grep '^file' "$work/last.body")"
  expect_spool_empty main
  fetch "$(site_url main)/echo" -H 'Transfer-Encoding: chunked' -F "doc=@$work/upload.bin;filename=data.bin"
  expect_status 200
  grep -qx "file doc 300000 $sha data.bin" "$work/last.body" || fail "chunked: $(grep '^file' "$work/last.body")"
  expect_spool_empty main
}

# run_case NAME FUNCTION SITE: runs the case in a subshell, so that its first
# failed assertion ends it; then looks for sanitizer reports of the site.
run_case() {
  local name=$1 fn=$2 site=$3 start end
  start=$(date +%s%N)
  local rc
  # Not in a tested context (no `if`, `||`): set -e would be off inside.
  # run.sh itself runs without -e.
  (
    set -euo pipefail
    "$fn"
    expect_no_sanitizer_report "$site"
  )
  rc=$?
  if [ "$rc" -eq 0 ]; then
    end=$(date +%s%N)
    passes=$((passes + 1))
    printf '  ok    %-34s %5d ms\n' "$name" $(((end - start) / 1000000))
  else
    failures=$((failures + 1))
    printf '  FAIL  %s (site %s: logs in %s)\n' "$name" "$site" "$work/$site/logs"
  fi
}

# end_cases LABEL SITE...: stops the sites, then looks for the sanitizer
# reports that show only now (written after a response was complete, or by an
# engine at its exit) and prints the tally; its status is the script's.
end_cases() {
  local label=$1 t1
  shift
  stop_sites
  sweep_sites=("$@")
  run_case sanitizer_sweep case_sanitizer_sweep "$1"
  t1=$(date +%s%N)
  echo "e2e: $label: $passes passed, $failures failed ($(((t1 - t0) / 1000000)) ms)"
  [ "$failures" -eq 0 ]
}

case_sanitizer_sweep() {
  local s
  for s in "${sweep_sites[@]}"; do
    expect_no_sanitizer_report "$s"
    ! grep -q 'Sanitizer' "$work/$s/logs/engine.log" "$work/$s/logs/error.log" 2>/dev/null ||
      fail "$(grep 'Sanitizer' "$work/$s/logs/engine.log" "$work/$s/logs/error.log" 2>/dev/null)"
  done
}
