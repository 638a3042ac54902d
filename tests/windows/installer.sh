#!/usr/bin/env bash
# The Windows installer under Wine, in the prefix of the Windows process
# tests: a silent install, the files and the base key it writes, the
# installed gateway.exe against the sample engine (a Linux program on
# 127.0.0.1), a plain uninstall that keeps the edited key, an install that
# keeps it too, an uninstall with REMOVESETTINGS=1 that leaves the prefix as
# it began.
#   installer.sh WINE64 PREFIX MSI SAMPLE_ENGINE
set -uo pipefail
wine64=$1 msi=$3 engine=$4
export WINEPREFIX=$2 WINEDEBUG=-all LC_ALL=C
key='HKLM\SOFTWARE\Halvorn\KAVRO3'
program=$WINEPREFIX/drive_c/Program\ Files/KAVRO3
data=$WINEPREFIX/drive_c/ProgramData/KAVRO3
failures=0 engine_pid=""
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
trap '[ -z "$engine_pid" ] || kill "$engine_pid"' EXIT
msiexec() { "$wine64" msiexec "$@" /qn </dev/null >/dev/null 2>&1 || fail "msiexec $* exited with $?"; }
# The key's values as NAME=VALUE lines, sorted.
values() { "$wine64" reg query "$key" /reg:64 2>/dev/null | tr -d '\r' | sed -n 's/^    \(.*\)    REG_SZ    /\1=/p' | sort; }
gone() { [ ! -e "$program" ] && [ ! -e "$data" ] || fail "left after $1: $(ls -d "$program" "$data" 2>/dev/null)"; }

# The start: no KAVRO3 (an earlier run may have stopped half-way), and no
# key, as the process tests' runner starts every case.
"$wine64" msiexec /x "Z:${msi//\//\\}" /qn REMOVESETTINGS=1 >/dev/null 2>&1
"$wine64" reg delete 'HKLM\SOFTWARE\Halvorn' /f /reg:64 >/dev/null 2>&1
msiexec /i "Z:${msi//\//\\}"
cmp -s "$program/gateway.exe" "$(dirname "$msi")/gateway.exe" || fail "gateway.exe is not the build's"
for f in doc/deploy-iis.md doc/configuration.md doc/performance/upload.png; do
  [ -f "$program/$f" ] || fail "no $f"
done
[ -d "$data/spool" ] || fail "no spool folder"
expected='FileMode=1
FilePath=C:\ProgramData\KAVRO3\spool\
MultipleServers=0
ProcedureName=RUN_KAVRO_REQUEST
ServerPort=8088
ServerURL=localhost
ShutdownFlags=1
StartupFlags=65'
[ "$(values)" = "$expected" ] || fail "the base key holds: $(values)"

# An upload, spooled into the installer's folder under the default FilePath
# and removed after the request (FileMode 1).
: >"$WINEPREFIX/engine.log" # not the last run's port, read before the child truncates the file
"$engine" --address 127.0.0.1 --port 0 2>"$WINEPREFIX/engine.log" &
engine_pid=$!
for ((i = 0; i < 100; i++)); do grep -q 'listening on' "$WINEPREFIX/engine.log" && break; sleep 0.05; done
port=$(sed -n 's/^sample-engine: listening on .*://p' "$WINEPREFIX/engine.log")
"$wine64" reg add "$key" /v ServerPort /d "$port" /f /reg:64 >/dev/null
body=$'--XyZ\r\nContent-Disposition: form-data; name="upload"; filename="hello.txt"\r\n\r\nhello\n\r\n--XyZ--\r\n'
reply=$(printf '%s' "$body" | env -i WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all LC_ALL=C REQUEST_METHOD=POST \
  SCRIPT_NAME=/shop/gateway PATH_INFO=/echo CONTENT_TYPE='multipart/form-data; boundary=XyZ' \
  CONTENT_LENGTH=${#body} "$wine64" 'C:\Program Files\KAVRO3\gateway.exe' 2>&1)
grep -qF "ServerURL=localhost&ServerPort=$port&" <<<"$reply" || fail "no engine reply through the base key: $reply"
grep -qE '^field upload=C:\\ProgramData\\KAVRO3\\spool\\0[0-9a-f]{32}$' <<<"$reply" || fail "not spooled: $reply"
[ -z "$(ls -A "$data/spool")" ] || fail "left in the spool folder: $(ls -A "$data/spool")"

msiexec /x "Z:${msi//\//\\}"
gone "an uninstall"
[ "$(values)" = "${expected/ServerPort=8088/ServerPort=$port}" ] || fail "after an uninstall the key holds: $(values)"
msiexec /i "Z:${msi//\//\\}"
[ "$(values)" = "${expected/ServerPort=8088/ServerPort=$port}" ] || fail "an install over the key made it: $(values)"
msiexec /x "Z:${msi//\//\\}" REMOVESETTINGS=1
gone "an uninstall with REMOVESETTINGS=1"
! "$wine64" reg query "$key" /reg:64 >/dev/null 2>&1 || fail "REMOVESETTINGS=1 left the key"

[ "$failures" -eq 0 ] && echo "installer test: passed"
[ "$failures" -eq 0 ]
