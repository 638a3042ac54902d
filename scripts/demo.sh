#!/usr/bin/env bash
# `make demo`: the gateway behind lighttpd, the sample engine behind it, on
# http://127.0.0.1:8080/shop/gateway until Ctrl-C. Open the address in a
# browser: the form, an upload, the result page.
#   scripts/demo.sh [cgi|fastcgi]   the gateway as a CGI program (mod_cgi,
#                                   the default) or as a FastCGI application
#                                   (mod_fastcgi, docs/deploy-fastcgi.md)
#   KAVRO3_SITE_PORT   the web server's port (8080)
#   KAVRO3_BUILD       the build tree (build)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-cgi}
case $mode in
  cgi) kind=lighttpd how="runs the gateway as a CGI program, one process per request" ;;
  fastcgi) kind=lighttpd-fastcgi how="runs the gateway as a FastCGI application: its processes serve every request" ;;
  *)
    echo "usage: $0 [cgi|fastcgi]" >&2
    exit 2
    ;;
esac

scripts/install-deps.sh lighttpd curl

port=${KAVRO3_SITE_PORT:-8080}
work=$(mktemp -d "${TMPDIR:-/tmp}/kavro3-demo.XXXXXX")
chmod 755 "$work" # the web server's user (www-data under root) reads the site
site=$work/site
follow_pid=""
sleep_pid=""
url=""

cleanup() {
  trap - EXIT INT TERM
  [ -z "$url" ] || printf '\nStopping lighttpd and the sample engine...\n'
  # Background jobs of a script ignore SIGINT: stop them by PID.
  [ -z "$follow_pid" ] || kill "$follow_pid" 2>/dev/null || true
  [ -z "$sleep_pid" ] || kill "$sleep_pid" 2>/dev/null || true
  scripts/site.sh stop "$site" || true
  rm -rf "$work"
  [ -z "$url" ] || echo "Stopped."
}
trap cleanup EXIT
trap 'exit 0' INT TERM

if ! KAVRO3_SITE_PORT=$port KAVRO3_USER=demo scripts/site.sh start "$site" "$kind"; then
  echo "demo: could not start the site; another port: KAVRO3_SITE_PORT=8081 make demo" >&2
  exit 1
fi
url=$(cat "$site/url")

cat <<EOF

KAVRO3 demo: lighttpd on 127.0.0.1:$port $how;
the sample engine listens on 127.0.0.1:$(cat "$site/engine.port").

  Open    $url
          fill in the form, attach a file, send: the result page lists the
          fields and the file's size and SHA-256 as the engine read them.

  Or try  curl -F customer=Ann -F gift=yes -F attachment=@README.md $url/echo
          curl -o picture.png $url/download

  Files   $site (settings kavro3.reg, logs/, spool/)

Requests as the engine logs them follow. Ctrl-C stops everything.

EOF

# The engine logs one line per conversation; its first line was the port.
tail -n +2 -F "$site/logs/engine.log" 2>/dev/null &
follow_pid=$!
while :; do
  sleep 3600 &
  sleep_pid=$!
  wait "$sleep_pid" || true
done
