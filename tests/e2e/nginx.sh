#!/usr/bin/env bash
# End-to-end tests behind nginx and fcgiwrap, set up with the location block
# of docs/deploy-nginx.md as the guide gives it (scripts/site.sh takes it
# from there): the split of SCRIPT_NAME and PATH_INFO, the settings file
# passed with fastcgi_param, an upload through the spool, the body limit, and
# the gateway's error-log lines in nginx's error log.
#
#   tests/e2e/nginx.sh
#
# KAVRO3_BUILD names the build tree (default: build); KAVRO3_E2E_KEEP=1 keeps
# the temp dir. Sites and servers as in run.sh.
set -uo pipefail

server=nginx
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"

export KAVRO3_BUILD=${KAVRO3_BUILD:-build}
[[ $KAVRO3_BUILD == /* ]] || KAVRO3_BUILD=$repo/$KAVRO3_BUILD
export PATH=$PATH:/usr/sbin:/sbin
for tool in curl sha256sum nginx fcgiwrap; do
  command -v "$tool" >/dev/null || { echo "e2e: $tool is missing (make test installs it)" >&2; exit 1; }
done
server_software=$(nginx -v 2>&1 | sed -n 's/^nginx version: //p')

make_work_dir nginx

# The rows nginx's fastcgi_params and the guide's lines give a GET.
case_get_split_path() {
  site_user=""
  fetch "$(site_url main)/echo?item=42&name=J%C3%BCrgen"
  expect_status 200
  expect_header Content-Type 'text/plain; charset=utf-8'
  local line
  for line in 'row 1 PATH_INFO=/echo' 'row 16 REQUEST_METHOD=GET' 'row 17 SCRIPT_NAME=/shop/gateway' \
    "row 21 SERVER_SOFTWARE=$(line_escape "$server_software")" "row 25 REGISTRY_SETTINGS=$(line_escape "$(registry_info main)")" \
    'field item=42' "field name=$(line_escape 'Jürgen')"; do
    grep -qxF -- "$line" "$work/last.body" || fail "no line: $line"
  done
}


# The guide's client_max_body_size leaves room for multipart's own bytes: a
# 20 MiB file passes, a body over the limit gets 413 and nginx's line.
case_body_limit() {
  head -c 20971520 /dev/urandom >"$work/20m.bin"
  fetch "$(site_url main)/echo" -F "doc=@$work/20m.bin;filename=20m.bin"
  expect_status 200
  grep -qx "file doc 20971520 $(sha256_of "$work/20m.bin") 20m.bin" "$work/last.body" || fail "$(grep '^file' "$work/last.body")"
  head -c 1048576 /dev/zero >>"$work/20m.bin"
  fetch "$(site_url main)/echo" -F "doc=@$work/20m.bin;filename=21m.bin"
  expect_status 413
  grep -q 'client intended to send too large body' "$work/main/logs/error.log" || fail "no 413 line in the error log"
}



echo "e2e: nginx ($server_software) with fcgiwrap, gateway from $KAVRO3_BUILD"
t0=$(date +%s%N)
site_start main || exit 1
site_start down KAVRO3_NO_ENGINE=1 || exit 1

run_case get_split_path case_get_split_path main
run_case upload case_upload main
run_case body_limit case_body_limit main
run_case engine_down case_engine_down down
run_case decoder_error case_decoder_error main

end_cases nginx main down
