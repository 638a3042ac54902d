#!/usr/bin/env bash
# End-to-end tests: the gateway as a CGI program behind a real web server,
# the sample engine behind it, requests made with curl.
#
#   tests/e2e/run.sh lighttpd|apache
#
# KAVRO3_BUILD names the build tree (default: build); KAVRO3_E2E_KEEP=1 keeps
# the temp dir even when every case passed. Every site runs in a
# private temp dir on ephemeral loopback ports and is stopped by PID at the
# end, whatever happens; the dir is removed when every case passed and kept
# (with the servers' and the engine's logs) otherwise.
set -uo pipefail

server=${1:-}
case "$server" in lighttpd | apache) ;; *)
  echo "usage: $0 lighttpd|apache" >&2
  exit 2
  ;;
esac

# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"

export KAVRO3_BUILD=${KAVRO3_BUILD:-build}
[[ $KAVRO3_BUILD == /* ]] || KAVRO3_BUILD=$repo/$KAVRO3_BUILD
for tool in curl sha256sum od cmp; do
  command -v "$tool" >/dev/null || { echo "e2e: $tool is missing (make test installs it)" >&2; exit 1; }
done
export PATH=$PATH:/usr/sbin:/sbin
if [ "$server" = lighttpd ]; then
  command -v lighttpd >/dev/null || { echo "e2e: lighttpd is missing (make test installs it)" >&2; exit 1; }
  server_software=$(lighttpd -v | head -n 1 | cut -d' ' -f1)
else
  command -v apache2 >/dev/null || { echo "e2e: apache2 is missing (make test installs it)" >&2; exit 1; }
  server_software=$(apache2 -v | sed -n 's/^Server version: //p')
fi

make_work_dir "$server"

# ---- test files ----------------------------------------------------------

make_files() {
  local i
  # Every byte value, NUL runs, CR LF runs, lines that look like multipart
  # delimiters (curl's boundaries start with 26 dashes), a lone CR, and a
  # CR LF at the very end, right before the real delimiter.
  printf "$(printf '\\x%02x' {0..255})" >"$work/bytes"
  printf '\0\0\0\r\n\r\n\r\n\r\n--\r\n--------------------------\r\n--------------------------x--\r\n\r\r\0\n\n' >>"$work/bytes"
  for ((i = 0; i < 300; i++)); do cat "$work/bytes"; done >"$work/binary.bin"
  printf 'tail\r\n' >>"$work/binary.bin"
  for ((i = 0; i < 15; i++)); do cat "$work/binary.bin"; done >"$work/large.bin"
  : >"$work/empty.txt"
  printf 'Hello from the e2e test.\n' >"$work/small.txt"
  printf 'first line\r\nsecond line\r\n' >"$work/crlf.txt"
  printf 'inline content with blanks & symbols = 100%%\r\nsecond line' >"$work/inline.txt"
  # 2500 bytes, no CR: the gateway copies it in pieces of 1023 bytes.
  {
    printf '<html><head><title>Shop closed</title></head><body>\n<h1>The shop is closed for maintenance</h1>\n'
    for ((i = 0; i < 60; i++)); do printf '<p>Line %02d of the outage notice.</p>\n' "$i"; done
  } | head -c 2500 >"$work/outage.html"
  chmod 644 "$work"/*
}

# ---- cases ---------------------------------------------------------------

site_user=""

case_get_query_pathinfo() {
  site_user=shopper
  fetch "$(site_url main)/echo?item=42&name=J%C3%BCrgen+M%C3%BCller&sym=a%26b%3Dc&empty=&flag&pct=100%25" \
    -H 'From: buyer@example.org' -e 'http://127.0.0.1/shop/start' -b 'session=abc123'
  expect_status 200
  expect_header Content-Type 'text/plain; charset=utf-8'
  expect_length_consistent
  echo_rows main GET /echo
  row[7]='session=abc123'
  row[8]='buyer@example.org'
  row[9]='http://127.0.0.1/shop/start'
  # The query string's pairs, decoded; cookies are not fields on a GET.
  fields=("item=42" "name=Jürgen Müller" "sym=a&b=c" "empty=" "flag=" "pct=100%")
  echo_expect
  expect_body "$work/expected.body"
}

case_form_page() {
  local url
  url=$(site_url main)
  fetch "$url"
  expect_status 200
  expect_header Content-Type 'text/html; charset=utf-8'
  expect_length_consistent
  expect_body_contains '<form method="post" enctype="multipart/form-data" action="/shop/gateway/result">'
  expect_body_contains '<input type="text" name="customer">'
  expect_body_contains '<textarea name="comment">'
  expect_body_contains '<input type="checkbox" name="gift" value="yes">'
  expect_body_contains '<input type="file" name="attachment">'
  expect_body_contains 'href="/shop/gateway/download"'
  # PATH_INFO "/" is the same page.
  cp "$work/last.body" "$work/form.body"
  fetch "$url/"
  expect_status 200
  expect_body "$work/form.body"
}

# The PNG travels hex-encoded over the Engine link and must arrive intact:
# the web server's body equals what the gateway writes after its headers.
case_download() {
  fetch "$(site_url main)/download"
  expect_status 200
  expect_header Content-Type image/png
  local size
  size=$(stat -c %s "$work/last.body")
  # lighttpd passes the engine's Content-Length on; Apache drops it and
  # sends the body chunked.
  if [ "$server" = lighttpd ]; then
    expect_header Content-Length "$size"
  else
    expect_no_header Content-Length
    expect_header Transfer-Encoding chunked
  fi
  [ "$(head -c 8 "$work/last.body" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] || fail "no PNG signature"
  [ "$(tail -c 8 "$work/last.body" | od -An -tx1 | tr -d ' ')" = 49454e44ae426082 ] || fail "no IEND chunk at the end"
  env -i KAVRO3_REGISTRY="$work/main/kavro3.reg" GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET \
    SCRIPT_NAME=/shop/gateway PATH_INFO=/download REMOTE_ADDR=127.0.0.1 \
    "$work/main/cgi-bin/gateway" >"$work/direct.out" || fail "the gateway run from the shell failed"
  printf 'Content-Type: image/png\r\nContent-Length: %s\r\n\r\n' "$size" >"$work/direct.head"
  cat "$work/direct.head" "$work/last.body" >"$work/expected.body"
  cmp -s "$work/direct.out" "$work/expected.body" || fail "the body differs from the gateway's own output"
}

# The engine's "Status: 404 Not Found" CGI header becomes the HTTP status.
case_not_found() {
  fetch "$(site_url main)/no/such/page"
  expect_status 404
  expect_header Content-Type 'text/plain; charset=utf-8'
  expect_no_header Status
  expect_body_text 'No such page: /no/such/page'
}

case_post_urlencoded() {
  site_user=shopper
  local body='customer=Ann+Lee&comment=caf%C3%A9+%26+cr%C3%A8me%0D%0Asecond+line&gift=yes&=orphan&amount=12.50'
  fetch "$(site_url main)/echo?src=query" --data-binary "$body"
  expect_status 200
  expect_header Content-Type 'text/plain; charset=utf-8'
  echo_rows main POST /echo
  row[2]='application/x-www-form-urlencoded'
  row[3]=${#body}
  row[6]='*/*'
  # Query-string pairs first, then the body's; a pair without a name is dropped.
  fields=("src=query" "customer=Ann Lee" "comment=café & crème"$'\r\n'"second line" "gift=yes" "amount=12.50")
  echo_expect
  expect_body "$work/expected.body"
}

# A chunked request body has no length for the CGI: lighttpd buffers the
# body and sets CONTENT_LENGTH; Apache's mod_cgi passes it on without one,
# and the gateway's decoder refuses a POST without CONTENT_LENGTH.
case_post_chunked() {
  site_user=shopper
  fetch "$(site_url main)/echo" -H 'Transfer-Encoding: chunked' --data-binary 'k=v&n=2'
  expect_status 200
  if [ "$server" = lighttpd ]; then
    expect_header Content-Type 'text/plain; charset=utf-8'
    echo_rows main POST /echo
    row[2]='application/x-www-form-urlencoded'
    row[3]=7
    fields=("k=v" "n=2")
    echo_expect
    expect_body "$work/expected.body"
  else
    expect_header Content-Type 'text/html'
    decoder_error_page "_get_query(): Your browser sent a non-HTTP compliant message."
    expect_body "$work/expected.body"
  fi
}

# A multipart body is read up to its closing delimiter, CONTENT_LENGTH
# plays no part: a chunked upload works behind both servers.
case_multipart_chunked() {
  site_user=shopper
  local form=(-F 'note=chunked' -F "f=@$work/binary.bin;type=application/octet-stream;filename=c.bin")
  # The same form unchunked: its length is the body's length (curl's
  # boundaries all have the same length).
  fetch_upload "$(site_url main)/echo" "${form[@]}"
  local length
  length=$(cat "$work/last.upload-size")
  fetch "$(site_url main)/echo" -H 'Transfer-Encoding: chunked' "${form[@]}"
  expect_status 200
  echo_rows main POST /echo
  multipart_rows
  # lighttpd buffers the body and sets CONTENT_LENGTH, Apache sets none.
  if [ "$server" = lighttpd ]; then row[3]=$length; else row[3]=""; fi
  local path size sha
  path=$(spooled_path f)
  expect_spool_name "$path" main 0
  size=$(stat -c %s "$work/binary.bin")
  sha=$(sha256_of "$work/binary.bin")
  fields=("note=chunked" "f=$path" "f.length=$size" "f.filename=c.bin" "f.contenttype=application/octet-stream")
  files=("f"$'\t'"$size"$'\t'"$sha"$'\t'"c.bin")
  echo_expect
  expect_body "$work/expected.body"
  expect_spool_empty main
}

# Escapes that are not hexadecimal: lighttpd rewrites a '%' that starts no
# valid escape into %25 before the CGI sees QUERY_STRING; Apache passes the
# text as received, and the decoder turns %zz into the byte 'S' (its rule
# for non-hex digits).
case_query_invalid_escapes() {
  site_user=shopper
  fetch "$(site_url main)/echo?b=%zz&c=100%%&d=%41%2b"
  expect_status 200
  echo_rows main GET /echo
  if [ "$server" = lighttpd ]; then
    fields=("b=%zz" "c=100%%" "d=A+")
  else
    fields=("b=S" "c=100%%" "d=A+")
  fi
  echo_expect
  expect_body "$work/expected.body"
}

# SERVER_NAME comes from the Host header on both; SERVER_PORT too on Apache
# (UseCanonicalName Off), while lighttpd gives the port it accepted on.
case_host_header() {
  site_user=shopper
  fetch "$(site_url main)/echo" -H 'Host: shop.example:8443'
  expect_status 200
  echo_rows main GET /echo
  row[18]=shop.example
  [ "$server" = lighttpd ] || row[19]=8443
  echo_expect
  expect_body "$work/expected.body"
}

# Both servers pass a 0xFE byte in a header. The gateway turns it into '?'
# so that the client cannot move the rows after it and choose what the
# engine takes for REMOTE_ADDR or REMOTE_USER. Control bytes such as 0x01
# are refused by both servers.
case_header_separator_bytes() {
  site_user=shopper
  fetch "$(site_url main)/echo" -A $'evil\xfe127.0.0.9'
  expect_status 200
  echo_rows main GET /echo
  row[10]='evil?127.0.0.9'
  echo_expect
  expect_body "$work/expected.body"
  grep -qx 'row 12 REMOTE_ADDR=127.0.0.1' "$work/last.body" || fail "REMOTE_ADDR moved"
  fetch "$(site_url main)/echo" -A $'ctl\x01x'
  expect_status 400
}

# qError's page: nine lines after a text/html header, LF line ends.
decoder_error_page() {
  printf '<html>\n<head>\n<title>Error: %s</title>\n<script language='"'"'JavaScript'"'"'>\n  alert("%s");\n  history.back();\n</script>\n</head>\n</html>\n' \
    "$1" "$1" >"$work/expected.body"
}

case_decoder_error() {
  fetch "$(site_url main)/echo" -H 'Content-Type: multipart/form-data; boundary=XYZ' \
    --data-binary 'this is not a multipart body'
  expect_status 200
  expect_header Content-Type 'text/html'
  decoder_error_page "_parse_multipart_data(): String format invalid."
  expect_body "$work/expected.body"
  # The decoder fails before the settings are read: no key yet.
  expect_log main "kavro3: key=- script=/shop/gateway remote=127.0.0.1 msg=_parse_multipart_data(): String format invalid."
}

# The request's Content-Type and length as curl sent them, for rows 2 and 3.
multipart_rows() {
  local line
  line=$(grep -m1 '^row 2 CONTENT_TYPE=' "$work/last.body") || fail "no row 2"
  line=${line#row 2 CONTENT_TYPE=}
  [[ $line =~ ^multipart/form-data\;%20boundary=-{24}[0-9a-f]{16,}$ ]] || fail "row 2 holds $line"
  row[2]=${line//%20/ }
  row[3]=$(cat "$work/last.upload-size")
}

# fetch_upload URL ARGS...: fetch, noting the size of the request body.
fetch_upload() {
  local url=$1
  shift
  fetch "$url" -w '%{size_upload}' "$@" >"$work/last.upload-size"
}

case_multipart_binary() {
  site_user=shopper
  fetch_upload "$(site_url main)/echo" -F 'note=binary test' \
    -F "upload=@$work/binary.bin;type=application/octet-stream;filename=data.bin"
  expect_status 200
  expect_header Content-Type 'text/plain; charset=utf-8'
  echo_rows main POST /echo
  multipart_rows
  local path size sha
  path=$(spooled_path upload)
  expect_spool_name "$path" main 0
  size=$(stat -c %s "$work/binary.bin")
  sha=$(sha256_of "$work/binary.bin")
  fields=("note=binary test" "upload=$path" "upload.length=$size" "upload.filename=data.bin"
    "upload.contenttype=application/octet-stream")
  files=("upload"$'\t'"$size"$'\t'"$sha"$'\t'"data.bin")
  echo_expect
  expect_body "$work/expected.body"
  # FileMode 1: the gateway removes what it spooled before it exits.
  expect_spool_empty main
}

# An empty file, and a file input left empty (filename="", as browsers send
# it): the first is an upload of 0 bytes, the second an ordinary empty field.
case_multipart_empty_file() {
  site_user=shopper
  fetch_upload "$(site_url main)/echo" -F 'note=' \
    -F "empty=@$work/empty.txt;type=text/plain;filename=empty.txt" \
    -F "nofile=@$work/empty.txt;filename="
  expect_status 200
  echo_rows main POST /echo
  multipart_rows
  local path
  path=$(spooled_path empty)
  expect_spool_name "$path" main 0
  fields=("note=" "empty=$path" "empty.length=0" "empty.filename=empty.txt" "empty.contenttype=text/plain"
    "nofile=")
  files=("empty"$'\t'"0"$'\t'"$(sha256_of "$work/empty.txt")"$'\t'"empty.txt")
  echo_expect
  expect_body "$work/expected.body"
  expect_spool_empty main
}

# File names with blanks and non-ASCII letters pass as UTF-8 bytes; a
# Windows path keeps its last component only. Field names too.
case_multipart_names() {
  site_user=shopper
  local name1='Prüfbericht März 2024 (Entwurf).txt'
  fetch_upload "$(site_url main)/echo" -F 'größe=XL' -F 'first name=Åsa' \
    -F "doc=@$work/small.txt;type=text/plain;filename=$name1" \
    -F "cv=@$work/binary.bin;type=application/pdf;filename=C:\\Users\\Åsa\\Desktop\\résumé final.pdf"
  expect_status 200
  echo_rows main POST /echo
  multipart_rows
  local p0 p1
  p0=$(spooled_path doc)
  p1=$(spooled_path cv)
  expect_spool_name "$p0" main 0
  expect_spool_name "$p1" main 1
  fields=("größe=XL" "first name=Åsa"
    "doc=$p0" "doc.length=$(stat -c %s "$work/small.txt")" "doc.filename=$name1" "doc.contenttype=text/plain"
    "cv=$p1" "cv.length=$(stat -c %s "$work/binary.bin")" "cv.filename=résumé final.pdf"
    "cv.contenttype=application/pdf")
  files=("doc"$'\t'"$(stat -c %s "$work/small.txt")"$'\t'"$(sha256_of "$work/small.txt")"$'\t'"$name1"
    "cv"$'\t'"$(stat -c %s "$work/binary.bin")"$'\t'"$(sha256_of "$work/binary.bin")"$'\t'"résumé final.pdf")
  echo_expect
  expect_body "$work/expected.body"
  expect_spool_empty main
}

# Cookies, the query string and several files in one multipart request:
# cookie pairs come first, then the query's, then the parts, in order.
case_multipart_several() {
  site_user=shopper
  fetch_upload "$(site_url main)/echo?order=7&lang=de" -b 'session=abc123; theme=dark%20blue' \
    -F 'customer=Åsa Öberg' \
    -F "a=@$work/small.txt;type=text/plain;filename=one.txt" \
    -F "comment=<$work/crlf.txt" \
    -F "b=@$work/large.bin;type=application/octet-stream;filename=two.bin" \
    -F "c=@$work/binary.bin;type=image/x-test;filename=three.dat"
  expect_status 200
  echo_rows main POST /echo
  multipart_rows
  row[7]='session=abc123; theme=dark%20blue'
  local pa pb pc f
  pa=$(spooled_path a)
  pb=$(spooled_path b)
  pc=$(spooled_path c)
  expect_spool_name "$pa" main 0
  expect_spool_name "$pb" main 1
  expect_spool_name "$pc" main 2
  fields=("session=abc123" "theme=dark blue" "order=7" "lang=de" "customer=Åsa Öberg"
    "a=$pa" "a.length=$(stat -c %s "$work/small.txt")" "a.filename=one.txt" "a.contenttype=text/plain"
    "comment=first line"$'\r\n'"second line"$'\r\n'
    "b=$pb" "b.length=$(stat -c %s "$work/large.bin")" "b.filename=two.bin"
    "b.contenttype=application/octet-stream"
    "c=$pc" "c.length=$(stat -c %s "$work/binary.bin")" "c.filename=three.dat" "c.contenttype=image/x-test")
  files=()
  for f in "a small.txt one.txt" "b large.bin two.bin" "c binary.bin three.dat"; do
    set -- $f
    files+=("$1"$'\t'"$(stat -c %s "$work/$2")"$'\t'"$(sha256_of "$work/$2")"$'\t'"$3")
  done
  echo_expect
  expect_body "$work/expected.body"
  expect_spool_empty main
}

# Concurrent uploads from one client address: each run spools under its own
# names (the request identifier includes REMOTE_PORT) and the engine reads
# each request's own bytes.
case_parallel_uploads() {
  local i pids=() url
  url=$(site_url main)
  for ((i = 0; i < 8; i++)); do
    head -c $((50000 + i * 777)) "$work/large.bin" >"$work/par$i.bin"
    curl -sS --max-time 60 -o "$work/par$i.out" -F "p=@$work/par$i.bin;filename=par$i.bin" "$url/echo" &
    pids+=($!)
  done
  for ((i = 0; i < 8; i++)); do wait "${pids[i]}" || fail "upload $i failed"; done
  for ((i = 0; i < 8; i++)); do
    grep -qx "file p $((50000 + i * 777)) $(sha256_of "$work/par$i.bin") par$i.bin" "$work/par$i.out" ||
      fail "upload $i: $(grep '^file' "$work/par$i.out")"
  done
  expect_spool_empty main
}

# The demo's road: the form posted to /result.
case_result_page() {
  fetch_upload "$(site_url main)/result" -F 'customer=Ann <Lee>' -F 'comment=Please wrap it.' \
    -F 'gift=yes' -F "attachment=@$work/binary.bin;type=application/octet-stream;filename=photo.raw"
  expect_status 200
  expect_header Content-Type 'text/html; charset=utf-8'
  expect_body_contains '<tr class="field"><td class="name">customer</td><td class="value">Ann &lt;Lee&gt;</td></tr>'
  expect_body_contains '<tr class="field"><td class="name">gift</td><td class="value">yes</td></tr>'
  expect_body_contains "<tr class=\"file\"><td class=\"field\">attachment</td><td class=\"file-name\">photo.raw</td><td class=\"file-size\">$(stat -c %s "$work/binary.bin")</td><td class=\"file-sha256\">$(sha256_of "$work/binary.bin")</td></tr>"
  expect_spool_empty main
}

# FileMode 2: the spooled files stay, holding the bytes uploaded.
case_filemode2_keeps() {
  site_user=""
  fetch_upload "$(site_url keep)/echo" -F "x=@$work/binary.bin;type=application/octet-stream;filename=x.bin" \
    -F "y=@$work/small.txt;type=text/plain;filename=y.txt"
  expect_status 200
  echo_rows keep POST /echo
  row[25]=$(registry_info keep "" 2)
  multipart_rows
  local px py
  px=$(spooled_path x)
  py=$(spooled_path y)
  expect_spool_name "$px" keep 0
  expect_spool_name "$py" keep 1
  fields=("x=$px" "x.length=$(stat -c %s "$work/binary.bin")" "x.filename=x.bin" "x.contenttype=application/octet-stream"
    "y=$py" "y.length=$(stat -c %s "$work/small.txt")" "y.filename=y.txt" "y.contenttype=text/plain")
  files=("x"$'\t'"$(stat -c %s "$work/binary.bin")"$'\t'"$(sha256_of "$work/binary.bin")"$'\t'"x.bin"
    "y"$'\t'"$(stat -c %s "$work/small.txt")"$'\t'"$(sha256_of "$work/small.txt")"$'\t'"y.txt")
  echo_expect
  expect_body "$work/expected.body"
  [ "$(ls -A "$work/keep/spool" | sort | tr '\n' ' ')" = "$(printf '%s\n' "${px##*/}" "${py##*/}" | sort | tr '\n' ' ')" ] ||
    fail "spool holds: $(ls -A "$work/keep/spool")"
  cmp -s "$px" "$work/binary.bin" || fail "$px differs from the upload"
  cmp -s "$py" "$work/small.txt" || fail "$py differs from the upload"
  rm -f "$px" "$py"
}

# FileMode 3: the file's content travels inline, as the field's value.
case_filemode3_inline() {
  site_user=""
  fetch_upload "$(site_url inline)/echo" -F "t=@$work/inline.txt;type=text/plain;filename=inline.txt"
  expect_status 200
  echo_rows inline POST /echo
  row[25]=$(registry_info inline "" 3)
  multipart_rows
  local content size
  content=$(cat "$work/inline.txt")
  size=$(stat -c %s "$work/inline.txt")
  fields=("t=$content" "t.length=$size" "t.filename=inline.txt" "t.contenttype=text/plain")
  files=("t"$'\t'"$size"$'\t'"$(sha256_of "$work/inline.txt")"$'\t'"inline.txt")
  echo_expect
  expect_body "$work/expected.body"
  expect_spool_empty inline
}

# The gateway's plain-text report is "Content-type: text/plain", two more
# newlines, the message and a newline: both servers end the headers at the
# first empty line, so the body starts with a newline.
case_login_refused() {
  fetch "$(site_url refused)/echo?x=1"
  expect_status 200
  expect_header Content-Type text/plain
  expect_body_text $'\nLogin refused: wrong user name or password.\n'
}

case_engine_down_and_upload() {
  local port
  case_engine_down
  port=$(cat "$work/down/engine.port")
  # The upload is spooled before the engine is tried; in FileMode 1 the run
  # that ends on the report removes it all the same.
  fetch "$(site_url down)/echo" -F "f=@$work/small.txt;type=text/plain;filename=s.txt"
  expect_status 200
  expect_body_text $'\n'"Unable to connect to Engine Server 127.0.0.1:$port - The attempt to connect was forcefully rejected."$'\n\n'
  expect_spool_empty down
}

# The Outage page replaces the report: a text/html header, a newline, then
# the page in pieces of 1023 bytes, a newline after each.
case_outage_page() {
  fetch "$(site_url outage)/echo"
  expect_status 200
  expect_header Content-Type text/html
  {
    printf '\n'
    head -c 1023 "$work/outage.html"
    printf '\n'
    tail -c +1024 "$work/outage.html" | head -c 1023
    printf '\n'
    tail -c +2047 "$work/outage.html"
    printf '\n'
  } >"$work/expected.body"
  expect_body "$work/expected.body"
  # The page hides the reason from the user, not from the log.
  expect_log outage "kavro3: key=SOFTWARE\\Halvorn\\KAVRO3\\shop script=/shop/gateway remote=127.0.0.1 msg=Unable to connect to Engine Server 127.0.0.1:$(cat "$work/outage/engine.port") - The attempt to connect was forcefully rejected."
}

# An Outage page that cannot be opened: the gateway writes nothing at all,
# which both servers answer with 500.
case_outage_page_missing() {
  fetch "$(site_url nopage)/echo"
  expect_status 500
  # The one trace of the reason.
  expect_log nopage "kavro3: key=SOFTWARE\\Halvorn\\KAVRO3\\shop script=/shop/gateway remote=127.0.0.1 msg=Unable to connect to Engine Server 127.0.0.1:$(cat "$work/nopage/engine.port") - The attempt to connect was forcefully rejected."
}

# ---- main ----------------------------------------------------------------

echo "e2e: $server ($server_software), gateway from $KAVRO3_BUILD"
t0=$(date +%s%N)
make_files
login=(KAVRO3_USER=shopper "KAVRO3_PASSWORD=s3cret pass" KAVRO3_ENGINE_USER=shopper "KAVRO3_ENGINE_PASSWORD=s3cret pass")
site_start main "${login[@]}" || exit 1
site_start keep KAVRO3_FILEMODE=2 || exit 1
site_start inline KAVRO3_FILEMODE=3 || exit 1
site_start refused KAVRO3_USER=shopper KAVRO3_PASSWORD=wrong KAVRO3_ENGINE_USER=shopper "KAVRO3_ENGINE_PASSWORD=s3cret pass" || exit 1
site_start down KAVRO3_NO_ENGINE=1 || exit 1
site_start outage KAVRO3_NO_ENGINE=1 "KAVRO3_SYSDOWNPAGE=$work/outage.html" || exit 1
site_start nopage KAVRO3_NO_ENGINE=1 "KAVRO3_SYSDOWNPAGE=$work/no-such-page.html" || exit 1
t1=$(date +%s%N)
echo "e2e: 7 sites started in $(((t1 - t0) / 1000000)) ms"

run_case get_query_pathinfo case_get_query_pathinfo main
run_case form_page case_form_page main
run_case download case_download main
run_case not_found case_not_found main
run_case post_urlencoded case_post_urlencoded main
run_case post_chunked case_post_chunked main
run_case decoder_error case_decoder_error main
run_case multipart_binary case_multipart_binary main
run_case multipart_empty_file case_multipart_empty_file main
run_case multipart_names case_multipart_names main
run_case multipart_several case_multipart_several main
run_case multipart_chunked case_multipart_chunked main
run_case query_invalid_escapes case_query_invalid_escapes main
run_case host_header case_host_header main
run_case header_separator_bytes case_header_separator_bytes main
run_case parallel_uploads case_parallel_uploads main
run_case result_page case_result_page main
run_case filemode2_keeps case_filemode2_keeps keep
run_case filemode3_inline case_filemode3_inline inline
run_case login_refused case_login_refused refused
run_case engine_down case_engine_down_and_upload down
run_case outage_page case_outage_page outage
run_case outage_page_missing case_outage_page_missing nopage

end_cases "$server" main keep inline refused down outage nopage
