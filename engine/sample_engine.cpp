// A small Engine Server for trying the gateway out: it accepts every login
// and answers each request with an HTML page listing the CGI rows it got.
//
//   sample-engine [--address 127.0.0.1] [--port 8088]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "engine/protocol.h"
#include "gateway/cgi_rows.h"

namespace {

using kavro::engine::Payload;
namespace platform = kavro::platform;

std::string htmlEscape(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        if (c < 0x20 && c != '\t') {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string rowsPage(const Payload& payload) {
  std::string page =
      "Content-Type: text/html; charset=utf-8\r\n\r\n"
      "<!DOCTYPE html>\n<html><head><title>KAVRO3 sample engine</title></head><body>\n"
      "<h1>KAVRO3 sample engine</h1>\n<table "
      "border=\"1\">\n<tr><th>Row</th><th>Variable</th><th>Value</th></tr>\n";
  for (std::size_t i = 0; i < payload.values.size(); ++i) {
    const char* name = i < kavro::kCgiRowCount ? kavro::kCgiRowNames[i] : "(additional)";
    page += "<tr><td>" + std::to_string(i) + "</td><td>" + name + "</td><td>" +
            htmlEscape(payload.values[i]) + "</td></tr>\n";
  }
  page += "</table>\n</body></html>\n";
  return page;
}

// One gateway conversation: Login, Request, Close.
void serve(platform::Socket socket) {
  std::string method = "-", script = "-";
  const char* outcome = "closed early";
  while (auto frame = kavro::engine::readFrame(socket)) {
    kavro::engine::Message message;
    if (!kavro::engine::parseMessage(*frame, &message)) {
      outcome = "malformed message";
      break;
    }
    if (message.code == kavro::engine::kLogin) {
      kavro::engine::writeFrame(socket, kavro::engine::reply('0', "Welcome"));
    } else if (message.code == kavro::engine::kRequest) {
      Payload payload;
      if (!kavro::engine::parseRequest(*frame, &payload)) {
        kavro::engine::writeFrame(socket, kavro::engine::reply('1', "Malformed request"));
        continue;
      }
      method = payload.row(16).empty() ? "-" : payload.row(16);
      script = payload.row(kavro::kRowScriptName).empty() ? "-" : payload.row(kavro::kRowScriptName);
      kavro::engine::writeFrame(socket, kavro::engine::reply('0', rowsPage(payload)));
    } else if (message.code == kavro::engine::kClose) {
      kavro::engine::writeFrame(socket, kavro::engine::reply('0', ""));
      outcome = "ok";
      break;
    }
  }
  std::fprintf(stderr, "sample-engine: %s %s: %s\n", method.c_str(), script.c_str(), outcome);
  platform::netClose(socket);
}

}  // namespace

int main(int argc, char** argv) {
  const char* address = "127.0.0.1";
  long port = 8088;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--address") == 0 && i + 1 < argc) {
      address = argv[++i];
    } else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = std::strtol(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: %s [--address ADDRESS] [--port PORT]\n", argv[0]);
      return 2;
    }
  }
  if (port < 0 || port > 65535) {
    std::fprintf(stderr, "sample-engine: bad port %ld\n", port);
    return 2;
  }
  platform::processInit();
  std::uint16_t bound = 0;
  platform::Socket listener = platform::netListen(address, static_cast<std::uint16_t>(port), &bound);
  if (listener == platform::kInvalidSocket) {
    std::fprintf(stderr, "sample-engine: cannot listen on %s:%ld (error %d)\n", address, port,
                 platform::netLastError());
    return 1;
  }
  std::fprintf(stderr, "sample-engine: listening on %s:%u\n", address, static_cast<unsigned>(bound));
  for (;;) {
    platform::Socket client = platform::netAccept(listener);
    if (client == platform::kInvalidSocket) continue;
    std::thread(serve, client).detach();
  }
}
