#include "engine/protocol.h"

#include <cstdio>

namespace kavro::engine {
namespace {

using wire::kFieldSeparator;
using wire::kValueSeparator;

bool readExactly(platform::Socket socket, char* buffer, std::size_t size) {
  while (size > 0) {
    long got = platform::netRecv(socket, buffer, size);
    if (got <= 0) return false;
    buffer += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> readFrame(platform::Socket socket) {
  char digits[wire::kFrameDigits];
  if (!readExactly(socket, digits, wire::kFrameDigits)) return std::nullopt;
  std::size_t length = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    length = length * 10 + static_cast<std::size_t>(c - '0');
  }
  std::string text(length, '\0');
  if (!readExactly(socket, text.data(), length)) return std::nullopt;
  return text;
}

bool writeFrame(platform::Socket socket, std::string_view text) {
  if (text.size() > wire::kMaxFrameText) return false;
  char digits[wire::kFrameDigits + 1];
  std::snprintf(digits, sizeof digits, "%08zu", text.size());
  std::string frame(digits, wire::kFrameDigits);
  frame.append(text);
  return platform::netSendAll(socket, frame.data(), frame.size());
}

bool parseMessage(std::string_view text, Message* message) {
  std::size_t end = text.find(kFieldSeparator);
  if (end == std::string_view::npos || end == 0) return false;
  int code = 0;
  for (char c : text.substr(0, end)) {
    if (c < '0' || c > '9' || code > 1000) return false;
    code = code * 10 + (c - '0');
  }
  message->code = code;
  message->fields.clear();
  std::size_t start = end + 1;
  while (start < text.size()) {
    end = text.find(kFieldSeparator, start);
    if (end == std::string_view::npos) return false;  // every field ends with 0x01
    message->fields.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

bool parseLogin(const Message& message, Login* login) {
  if (message.code != wire::kLogin || message.fields.size() != wire::kLoginFieldCount - 1) return false;
  const auto& f = message.fields;
  *login = Login{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8]};
  return true;
}

const std::string& PayloadValues::row(std::size_t index) const {
  static const std::string empty;
  return index < values.size() ? values[index] : empty;
}

std::vector<std::string> PayloadValues::additional() const {
  if (values.size() <= wire::kCgiRowCount) return {};
  return {values.begin() + wire::kCgiRowCount, values.end()};
}

bool parseRequest(std::string_view text, PayloadValues* payload) {
  // "3", 0x01, the payload, 0x01. The payload may itself hold 0x01 bytes (an
  // environment value can), so it is taken whole between the first and the
  // last separator rather than split at 0x01.
  const char head[] = {static_cast<char>('0' + wire::kRequest), kFieldSeparator};
  if (text.size() < 3 || text.substr(0, 2) != std::string_view(head, 2) || text.back() != kFieldSeparator)
    return false;
  std::string_view body = text.substr(2, text.size() - 3);
  payload->values.clear();
  std::size_t start = 0;
  while (start < body.size()) {
    std::size_t end = body.find(kValueSeparator, start);
    if (end == std::string_view::npos) return false;
    payload->values.emplace_back(body.substr(start, end - start));
    start = end + 1;
  }
  return payload->values.size() >= wire::kCgiRowCount;
}

std::string urlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> parseFields(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> fields;
  std::size_t start = 0;
  while (start < query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    std::string_view pair = query.substr(start, end - start);
    std::size_t eq = pair.find('=');
    if (!pair.empty()) {
      if (eq == std::string_view::npos)
        fields.emplace_back(urlDecode(pair), "");
      else
        fields.emplace_back(urlDecode(pair.substr(0, eq)), urlDecode(pair.substr(eq + 1)));
    }
    start = end + 1;
  }
  return fields;
}

std::string reply(char status, std::string_view text) {
  std::string out;
  out.reserve(text.size() + 3);
  out += status;
  out += kFieldSeparator;
  out.append(text);
  out += kFieldSeparator;
  return out;
}

std::string markedReply(char status, char selector, std::string_view body) {
  std::string text = wire::kReplyMarker;
  text += selector;
  text.append(body);
  return reply(status, text);
}

std::string hexEncode(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string hexReply(char status, std::string_view bytes) {
  return markedReply(status, wire::kHexSelector, hexEncode(bytes));
}

}  // namespace kavro::engine
