#!/usr/bin/env bash
# End-to-end tests of the gateway as a FastCGI application, set up with the
# configuration of docs/deploy-fastcgi.md for one web server as the guide
# gives it (scripts/site.sh takes it from there): lighttpd's mod_fastcgi with
# bin-path, Apache's mod_fcgid, or nginx with processes started by the
# guide's spawn-fcgi command. Beyond the rows, an upload, a report and the
# decoder's page with their error-log lines: the same processes serve every
# request, a settings edit counts without a restart, and SIGTERM ends a
# process between requests at once.
#
#   tests/e2e/fastcgi.sh lighttpd|apache|nginx
#
# KAVRO3_BUILD names the build tree (default: build); KAVRO3_E2E_KEEP=1 keeps
# the temp dir. Sites and servers as in run.sh.
set -uo pipefail

case "${1:-}" in
  lighttpd) server=lighttpd-fastcgi ;;
  apache) server=apache-fcgid ;;
  nginx) server=nginx-fastcgi ;;
  *)
    echo "usage: $0 lighttpd|apache|nginx" >&2
    exit 2
    ;;
esac
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"

export KAVRO3_BUILD=${KAVRO3_BUILD:-build}
[[ $KAVRO3_BUILD == /* ]] || KAVRO3_BUILD=$repo/$KAVRO3_BUILD
export PATH=$PATH:/usr/sbin:/sbin
for tool in curl sha256sum; do
  command -v "$tool" >/dev/null || { echo "e2e: $tool is missing (make test installs it)" >&2; exit 1; }
done

make_work_dir "$server"

# The site's gateway processes, by the program they run.
gateway_pids() {
  local p
  for p in /proc/[0-9]*; do
    if [ "$(readlink "$p/exe" 2>/dev/null)" = "$work/$1/cgi-bin/gateway" ]; then echo "${p#/proc/}"; fi
  done
}

case_get_split_path() {
  fetch "$(site_url main)/echo?item=42&name=J%C3%BCrgen"
  expect_status 200
  expect_header Content-Type 'text/plain; charset=utf-8'
  local line
  for line in 'row 1 PATH_INFO=/echo' 'row 16 REQUEST_METHOD=GET' 'row 17 SCRIPT_NAME=/shop/gateway' \
    'row 12 REMOTE_ADDR=127.0.0.1' "row 25 REGISTRY_SETTINGS=$(line_escape "$(registry_info main)")" \
    'field item=42' "field name=$(line_escape 'Jürgen')"; do
    grep -qxF -- "$line" "$work/last.body" || fail "no line: $line"
  done
}



# The decoder's page ends that request only: the next one is served as if
# it were the first.
case_decoder_error_then_next() {
  case_decoder_error
  fetch "$(site_url main)/echo?after=error"
  expect_status 200
  grep -qx 'field after=error' "$work/last.body" || fail "the request after the error: $(head -c 300 "$work/last.body")"
}

# Requests of every kind, one after the other: no process ends meanwhile.
case_processes_stay() {
  local before pid i
  fetch "$(site_url main)/echo?warm=1"
  before=$(gateway_pids main)
  [ -n "$before" ] || fail "no gateway process runs $work/main/cgi-bin/gateway"
  for ((i = 0; i < 10; i++)); do
    fetch "$(site_url main)/echo?i=$i"
    grep -qx "field i=$i" "$work/last.body" || fail "request $i: $(head -c 300 "$work/last.body")"
    fetch "$(site_url main)/echo" -F "f=@$work/upload.bin;filename=f.bin"
    expect_status 200
    fetch "$(site_url main)/echo" -H 'Content-Type: multipart/form-data; boundary=XYZ' --data-binary 'x'
    expect_status 200
  done
  expect_spool_empty main
  for pid in $before; do
    [ -d "/proc/$pid" ] || fail "gateway process $pid ended during the requests"
  done
}

# The settings file renamed over by an edited one counts from the next
# request on.
case_settings_edit() {
  sed 's/"ApplicationName"="shop"/"ApplicationName"="shop2"/' "$work/main/kavro3.reg" >"$work/main/kavro3.reg.new"
  chmod 644 "$work/main/kavro3.reg.new"
  cp "$work/main/kavro3.reg" "$work/kavro3.reg.saved"
  mv "$work/main/kavro3.reg.new" "$work/main/kavro3.reg"
  fetch "$(site_url main)/echo"
  cp "$work/kavro3.reg.saved" "$work/main/kavro3.reg.new"
  mv "$work/main/kavro3.reg.new" "$work/main/kavro3.reg"
  grep -q '^row 25 REGISTRY_SETTINGS=.*&ApplicationName=shop2&' "$work/last.body" ||
    fail "the edit did not count: $(grep '^row 25' "$work/last.body")"
  fetch "$(site_url main)/echo"
  grep -q '^row 25 REGISTRY_SETTINGS=.*&ApplicationName=shop&' "$work/last.body" ||
    fail "the settings put back did not count: $(grep '^row 25' "$work/last.body")"
}

# SIGTERM between requests ends a process at once; the others, or one the
# server starts anew, serve the next request.
case_sigterm_between_requests() {
  local pids pid i
  fetch "$(site_url main)/echo?before=term"
  mapfile -t pids < <(gateway_pids main)
  pid=${pids[0]:-}
  [ -n "$pid" ] || fail "no gateway process"
  kill -TERM "$pid"
  for ((i = 0; i < 20; i++)); do
    [ -d "/proc/$pid" ] && [ "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)" != Z ] || break
    sleep 0.05
  done
  [ "$i" -lt 20 ] || fail "gateway process $pid still runs 1 s after SIGTERM"
  fetch "$(site_url main)/echo?after=term"
  expect_status 200
  grep -qx 'field after=term' "$work/last.body" || fail "after SIGTERM: $(head -c 300 "$work/last.body")"
}

echo "e2e: $server, gateway from $KAVRO3_BUILD"
t0=$(date +%s%N)
site_start main || exit 1
site_start down KAVRO3_NO_ENGINE=1 || exit 1
site_user=""

run_case get_split_path case_get_split_path main
run_case upload case_upload main
run_case engine_down case_engine_down down
run_case decoder_error case_decoder_error_then_next main
run_case processes_stay case_processes_stay main
run_case settings_edit case_settings_edit main
run_case sigterm_between_requests case_sigterm_between_requests main

end_cases "$server" main down
