#!/usr/bin/env bash
# The gateway is linked as KAVRO3_GATEWAY_LINK says, and the binary works:
# it resolves a host name (localhost, through glibc's resolver, which a
# static binary carries inside) and reports the refused connection.
#   check_link.sh GATEWAY MODE STATIC_RUNTIME(ON|OFF)
# A link can go wrong without failing: GCC given -static-libstdc++ with
# -static-pie makes a binary that needs glibc's shared library and has no
# loader to load it, and crashes before main.
set -euo pipefail
gateway=$1 mode=$2 runtime=$3
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

elf=$(readelf --file-header --program-headers --dynamic --wide "$gateway")
type=$(awk '$1 == "Type:" { print $2; exit }' <<<"$elf")
interp=$(grep -c '^ *INTERP ' <<<"$elf" || true)
relro=$(grep -c '^ *GNU_RELRO ' <<<"$elf" || true)
needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$elf" | tr '\n' ' ')

case $mode in
  static-pie) want_type=DYN want_interp=0 ;;
  static) want_type=EXEC want_interp=0 ;;
  dynamic) want_type=DYN want_interp=1 ;;
  dynamic-nopie) want_type=EXEC want_interp=1 ;;
  *)
    echo "check_link.sh: unknown mode $mode" >&2
    exit 2
    ;;
esac
[ "$type" = "$want_type" ] || fail "$mode: ELF type $type, expected $want_type"
[ "$interp" = "$want_interp" ] || fail "$mode: $interp INTERP headers, expected $want_interp"
if [ "$want_interp" = 0 ]; then
  [ -z "$needed" ] || fail "$mode: shared libraries needed: $needed"
else
  [[ " $needed" == *" libc.so.6 "* ]] || fail "$mode: libc.so.6 is not among the needed libraries: $needed"
fi
if [ "$runtime" = ON ]; then
  [[ $needed != *libstdc++* && $needed != *libgcc_s* ]] || fail "$mode: the C++ runtime is shared: $needed"
fi
[ "$mode" != dynamic-nopie ] || [ "$relro" = 0 ] || fail "dynamic-nopie: has a GNU_RELRO header"

# Port 1 (tcpmux) has no listener on any machine of ours: the connection is
# refused after localhost resolved.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3]\n"ServerURL"="localhost"\n"ServerPort"="1"\n' \
  >"$work/kavro3.reg"
status=0
env -i KAVRO3_REGISTRY="$work/kavro3.reg" REQUEST_METHOD=GET "$gateway" >"$work/out" 2>"$work/err" || status=$?
expected=$'Content-type: text/plain\n\n\nUnable to connect to Engine Server localhost:1 - The attempt to connect was forcefully rejected.\n'
[ "$status" = 0 ] || fail "the gateway exited with $status: $(cat "$work/err")"
[ "$(cat "$work/out")" = "${expected%$'\n'}" ] || fail "the gateway wrote: $(cat -A "$work/out" | head -c 500)"

if [ "$failures" -ne 0 ]; then
  echo "$failures failed" >&2
  exit 1
fi
echo "gateway linked $mode (ELF $type, needs: ${needed:-nothing}); localhost resolved"
