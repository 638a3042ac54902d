-- wrk script of tests/load/fastcgi_leak.sh: requests of every kind in turn,
-- all for the one gateway process behind lighttpd's mod_fastcgi:
--   a GET with a query string, an urlencoded POST, a multipart upload that
--   is spooled and removed, a multipart body the decoder refuses, and a GET
--   for the application whose engine does not answer (a report).
-- wrk -s fastcgi_mix.lua URL -- LIMIT: at most LIMIT of them; past it, for
-- the rest of wrk's duration, the server's own static file /idle.txt.
-- At the end it prints "gateway N answers N other-than-200 N".

local boundary = "----kavro3-leak-7MA4YWxk"
local upload = "--" .. boundary .. "\r\n" ..
  "Content-Disposition: form-data; name=\"note\"\r\n\r\nhello world\r\n" ..
  "--" .. boundary .. "\r\n" ..
  "Content-Disposition: form-data; name=\"f\"; filename=\"a b.bin\"\r\n" ..
  "Content-Type: application/octet-stream\r\n\r\n" ..
  string.rep("0123456789\r\n", 400) .. "\r\n" ..
  "--" .. boundary .. "--\r\n"

local threads = {}
local requests = {}
local idle = nil
local limit = 0
-- Read by done() through the thread: a global of the thread's state.
sent = 0

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  limit = tonumber(args[1]) or 0
  requests = {
    wrk.format("GET", "/shop/gateway/echo?a=1&b=x%20y&&c"),
    wrk.format("POST", "/shop/gateway/echo?q=1",
               { ["Content-Type"] = "application/x-www-form-urlencoded" }, "c=3&d=%41%62+x&e"),
    wrk.format("POST", "/shop/gateway/echo",
               { ["Content-Type"] = "multipart/form-data; boundary=" .. boundary }, upload),
    wrk.format("POST", "/shop/gateway/echo",
               { ["Content-Type"] = "multipart/form-data; boundary=XYZ" }, "this is not a multipart body"),
    wrk.format("GET", "/down/gateway/echo?x=1"),
  }
  idle = wrk.format("GET", "/idle.txt")
end

function request()
  if sent >= limit then return idle end
  sent = sent + 1
  return requests[(sent % #requests) + 1]
end

function done(summary, latency, requests)
  local gateway = 0
  for _, thread in ipairs(threads) do gateway = gateway + thread:get("sent") end
  io.write(string.format("gateway %d answers %d other-than-200 %d\n", gateway, summary.requests,
                         summary.errors.status))
end
