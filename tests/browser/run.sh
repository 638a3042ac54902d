#!/usr/bin/env bash
# Browser end-to-end test (CTest: browser_chromium).
#   tests/browser/run.sh [BUILD_DIR]
# Installs what is missing (Debian's chromium, nodejs and lighttpd; the npm
# packages of the committed lockfile), then runs form_upload.test.mjs against
# BUILD_DIR.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-${KAVRO3_BUILD:-$root/build}}
build=$(cd "$build" && pwd)

"$root/scripts/install-deps.sh" chromium nodejs lighttpd
command -v npm >/dev/null 2>&1 || "$root/scripts/install-deps.sh" npm

# One npm install at a time for this source tree (the release and the
# sanitizer build trees may run this test concurrently).
lock="${TMPDIR:-/tmp}/kavro3-browser-npm-$(printf '%s' "$here" | sha256sum | cut -c1-16).lock"
exec 9>"$lock"
flock 9
cd "$here"
if [ ! -f node_modules/.package-lock.json ] ||
   [ package-lock.json -nt node_modules/.package-lock.json ] ||
   [ package.json -nt node_modules/.package-lock.json ]; then
  echo "run.sh: npm ci in $here"
  npm ci --no-audit --no-fund
fi
flock -u 9
exec 9>&-

export KAVRO3_BUILD="$build"
exec node "$here/form_upload.test.mjs"
