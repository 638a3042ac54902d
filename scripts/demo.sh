#!/usr/bin/env bash
# Starts the sample engine, runs the gateway once as a CGI GET request from
# the shell against it, shows the response, and stops the engine.
set -euo pipefail
cd "$(dirname "$0")/.."

PORT=${KAVRO3_DEMO_PORT:-8088}
work=$(mktemp -d)
engine_pid=""
cleanup() {
  if [ -n "$engine_pid" ]; then
    kill "$engine_pid" 2>/dev/null || true
    wait "$engine_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/kavro3.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Halvorn\KAVRO3]
"ServerURL"="127.0.0.1"
"ServerPort"="$PORT"

[HKEY_LOCAL_MACHINE\SOFTWARE\Halvorn\KAVRO3\shop]
"ServerURL"="127.0.0.1"
"ServerPort"="$PORT"
"ApplicationName"="shop"
"UserName"="demo"
REG

build/sample-engine --address 127.0.0.1 --port "$PORT" &
engine_pid=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break
  sleep 0.1
done

echo "== GET /shop/gateway/orders?item=42 through build/gateway =="
env -i KAVRO3_REGISTRY="$work/kavro3.reg" \
  GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET SCRIPT_NAME=/shop/gateway PATH_INFO=/orders \
  QUERY_STRING='item=42' SERVER_NAME=localhost SERVER_PORT=80 SERVER_PROTOCOL=HTTP/1.1 \
  REMOTE_ADDR=127.0.0.1 HTTP_USER_AGENT=demo \
  build/gateway || status=$?
echo "== gateway exit status: ${status:-0} =="
