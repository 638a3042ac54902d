#!/usr/bin/env bash
# The Debian package on this machine: built with CPack from the build tree,
# installed with apt-get, used from its installed paths (kavro3-check judges
# the settings file and the spool directory for www-data; the installed
# gateway, run as www-data, spools an upload that the installed sample
# engine reads as a user of the group kavro3 only), then purged, leaving
# nothing behind.
#
#   tests/package/run.sh BUILD_DIR
#
# Needs root, apt-get and dpkg; exits 77 (skipped) without them, and when
# kavro3 is installed already or /etc/kavro3 or /var/spool/kavro3 exist:
# those are the administrator's. Whatever happens, the package is purged
# and a group kavro3 that the package created is removed again.
set -uo pipefail

build=${1:?usage: $0 BUILD_DIR}
skip() {
  echo "package test skipped: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "needs root"
command -v apt-get >/dev/null && command -v dpkg >/dev/null || skip "needs apt-get and dpkg"
command -v dpkg-shlibdeps >/dev/null || skip "needs dpkg-shlibdeps (dpkg-dev)"
if dpkg-query -W -f='${Status}' kavro3 2>/dev/null | grep -q 'installed'; then skip "kavro3 is installed"; fi
for path in /etc/kavro3 /var/spool/kavro3 /usr/lib/kavro3; do
  [ ! -e "$path" ] || skip "$path exists"
done
getent passwd www-data >/dev/null || skip "no user www-data"

work=$(mktemp -d "${TMPDIR:-/tmp}/kavro3-package.XXXXXX")
chmod 755 "$work"
had_group=""
getent group kavro3 >/dev/null && had_group=1
engine_pid=""
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

cleanup() {
  [ -z "$engine_pid" ] || kill "$engine_pid" 2>/dev/null
  if dpkg-query -W kavro3 >/dev/null 2>&1; then
    apt-get purge -y -qq -o DPkg::Lock::Timeout=300 kavro3 >/dev/null 2>&1 || dpkg --purge kavro3 >/dev/null 2>&1
  fi
  if [ -z "$had_group" ] && getent group kavro3 >/dev/null; then groupdel kavro3; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== cpack"
(cd "$build" && cpack -G DEB -B "$work/pkg") >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log"
  exit 1
}
deb=$(ls "$work"/pkg/kavro3_*.deb)
cp "$deb" "$work/"
deb=$work/$(basename "$deb")

echo "== apt-get install ./$(basename "$deb")"
(cd "$work" && apt-get install -y -qq -o DPkg::Lock::Timeout=300 "./$(basename "$deb")") >"$work/install.log" 2>&1 || {
  cat "$work/install.log"
  exit 1
}

# What the package put where, with the ownership postinst gives it.
[ -x /usr/lib/kavro3/gateway ] || fail "no /usr/lib/kavro3/gateway"
[ -x /usr/bin/kavro3-sample-engine ] || fail "no /usr/bin/kavro3-sample-engine"
[ -f /usr/share/doc/kavro3/deploy-nginx.md ] || fail "no documentation"
[ -f /usr/share/doc/kavro3/performance/upload.png ] || fail "no charts of the performance page"
unit=/usr/lib/systemd/system/kavro3-sample-engine.service
grep -qx 'ExecStart=/usr/bin/kavro3-sample-engine --address 127.0.0.1 --port 8088' "$unit" || fail "no unit $unit"
if command -v systemd-analyze >/dev/null; then
  verify=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
fi
[ "$(stat -c '%U:%G %a' /etc/kavro3/kavro3.reg)" = "root:www-data 640" ] ||
  fail "/etc/kavro3/kavro3.reg is $(stat -c '%U:%G %a' /etc/kavro3/kavro3.reg)"
[ "$(stat -c '%U:%G %a' /var/spool/kavro3)" = "www-data:kavro3 2750" ] ||
  fail "/var/spool/kavro3 is $(stat -c '%U:%G %a' /var/spool/kavro3)"
dpkg-query --showformat='${Conffiles}\n' --show kavro3 | grep -q '/etc/kavro3/kavro3.reg' ||
  fail "/etc/kavro3/kavro3.reg is no conffile"

echo "== kavro3-check from /usr/bin"
# The package's own settings file: the base key with FilePath on the
# package's spool directory, readable by www-data, which may write there.
env -u KAVRO3_REGISTRY /usr/bin/kavro3-check --user www-data --spool /shop/gateway >"$work/check.out" 2>&1
status=$?
[ "$status" -eq 0 ] || fail "kavro3-check exited with $status"
grep -qx 'settings file: /etc/kavro3/kavro3.reg (the default), [0-9]* bytes' "$work/check.out" ||
  fail "kavro3-check did not read /etc/kavro3/kavro3.reg"
grep -qx '  readable by www-data' "$work/check.out" || fail "www-data cannot read the settings file"
grep -qx '  /var/spool/kavro3/: directory, mode 2750, owner www-data, group kavro3; www-data may create files in it' \
  "$work/check.out" || fail "the spool directory is not ready for www-data"
[ "$failures" -eq 0 ] || cat "$work/check.out"

echo "== an upload through the installed gateway, run as www-data"
# The engine as nobody, whose only way into the spool is the group kavro3.
setpriv --reuid=nobody --regid=nogroup --groups="$(getent group kavro3 | cut -d: -f3)" -- \
  /usr/bin/kavro3-sample-engine --address 127.0.0.1 --port 0 </dev/null >/dev/null 2>"$work/engine.log" &
engine_pid=$!
for ((i = 0; i < 100; i++)); do
  grep -q 'listening on' "$work/engine.log" && break
  sleep 0.05
done
port=$(sed -n 's/^sample-engine: listening on .*://p' "$work/engine.log")
if [ -z "$port" ]; then
  fail "the sample engine did not start: $(cat "$work/engine.log")"
else
  printf 'REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3]\n"ServerURL"="127.0.0.1"\n"ServerPort"="%s"\n"FilePath"="/var/spool/kavro3/"\n' \
    "$port" >"$work/kavro3.reg"
  chmod 644 "$work/kavro3.reg"
  body=$'--XyZ\r\nContent-Disposition: form-data; name="upload"; filename="hello.txt"\r\nContent-Type: text/plain\r\n\r\nhello\n\r\n--XyZ--\r\n'
  printf '%s' "$body" | runuser -u www-data -- env -i KAVRO3_REGISTRY="$work/kavro3.reg" REQUEST_METHOD=POST \
    SCRIPT_NAME=/shop/gateway PATH_INFO=/echo REMOTE_ADDR=127.0.0.1 \
    CONTENT_TYPE='multipart/form-data; boundary=XyZ' CONTENT_LENGTH=${#body} \
    /usr/lib/kavro3/gateway >"$work/upload.out" 2>"$work/upload.err"
  # The engine read the spooled file; in FileMode 1 it is gone.
  grep -qx "file upload 6 $(printf 'hello\n' | sha256sum | cut -d' ' -f1) hello.txt" "$work/upload.out" ||
    fail "the engine did not read the spooled upload: $(cat "$work/upload.out" "$work/upload.err")"
  [ -z "$(ls -A /var/spool/kavro3)" ] || fail "files left in /var/spool/kavro3: $(ls -A /var/spool/kavro3)"
  kill "$engine_pid"
  wait "$engine_pid" 2>/dev/null
  engine_pid=""
fi

echo "== apt-get purge kavro3"
apt-get purge -y -qq -o DPkg::Lock::Timeout=300 kavro3 >"$work/purge.log" 2>&1 || fail "purge: $(cat "$work/purge.log")"
for path in /etc/kavro3 /var/spool/kavro3 /usr/lib/kavro3 /usr/bin/kavro3-check /usr/bin/kavro3-sample-engine \
  /usr/share/doc/kavro3 "$unit"; do
  [ ! -e "$path" ] || fail "$path is left after the purge"
done
! dpkg-query -W kavro3 >/dev/null 2>&1 || fail "dpkg still knows kavro3"

[ "$failures" -eq 0 ] && echo "package test: passed"
[ "$failures" -eq 0 ]
