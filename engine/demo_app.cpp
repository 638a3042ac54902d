#include "engine/demo_app.h"

#include <cstdio>
#include <fstream>

#include "engine/png.h"
#include "engine/sha256.h"
#include "wire/wire.h"

namespace kavro::engine::demo {
namespace {

using wire::kCgiRowCount;
using wire::kCgiRowNames;
using wire::kRowPathInfo;
using wire::kRowQueryString;
using wire::kRowRegistrySettings;
using wire::kRowRequestMethod;
using wire::kRowScriptName;

constexpr char kHtmlHeaders[] = "Content-Type: text/html; charset=utf-8\r\n\r\n";
constexpr char kTextHeaders[] = "Content-Type: text/plain; charset=utf-8\r\n\r\n";

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

bool onlyLettersAndDigits(std::string_view text) {
  for (char c : text) {
    bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum) return false;
  }
  return !text.empty();
}

// Size and digest of a file, read in pieces so that a large upload is never
// held whole.
bool hashFile(const std::string& path, std::uint64_t* size, std::string* digest) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  Sha256 hash;
  std::uint64_t total = 0;
  char buffer[65536];
  while (in) {
    in.read(buffer, sizeof buffer);
    std::streamsize got = in.gcount();
    if (got <= 0) break;
    hash.update(buffer, static_cast<std::size_t>(got));
    total += static_cast<std::uint64_t>(got);
  }
  if (in.bad()) return false;
  *size = total;
  *digest = toHex(hash.finish());
  return true;
}

std::string sizeText(const UploadedFile& file) { return file.readable ? std::to_string(file.size) : "-"; }
std::string digestText(const UploadedFile& file) { return file.readable ? file.sha256 : "-"; }

std::string cell(std::string_view cls, std::string_view text) {
  std::string out = "<td";
  if (!cls.empty()) {
    out += " class=\"";
    out.append(cls);
    out += '"';
  }
  out += '>';
  out += htmlEscape(text);
  out += "</td>";
  return out;
}

std::string orDash(std::string_view text) { return text.empty() ? "-" : lineEscape(text); }

}  // namespace

bool loginAccepted(const Login& login, const Credentials& credentials) {
  if (!credentials.required) return true;
  return equalsIgnoringAsciiCase(login.userName, credentials.user) &&
         login.userPassword == credentials.password;
}

Page route(std::string_view pathInfo) {
  if (pathInfo.empty() || pathInfo == "/") return Page::kForm;
  if (pathInfo == "/result") return Page::kResult;
  if (pathInfo == "/download") return Page::kDownload;
  if (pathInfo == "/echo") return Page::kEcho;
  return Page::kNotFound;
}

std::string registrySetting(std::string_view registryInfo, std::string_view name, std::string fallback) {
  for (auto& [key, value] : parseFields(registryInfo)) {
    if (key == name) return value;
  }
  return fallback;
}

std::vector<UploadedFile> uploadedFiles(const Fields& fields, std::string_view registryInfo) {
  // The gateway's default FileMode is "1"; only the first character counts.
  std::string fileMode = registrySetting(registryInfo, "FileMode", "1");
  std::string filePath = registrySetting(registryInfo, "FilePath", "");
  char mode = fileMode.empty() ? '\0' : fileMode[0];

  std::vector<UploadedFile> files;
  for (std::size_t i = 0; i + 2 < fields.size(); ++i) {
    const std::string& name = fields[i].first;
    if (fields[i + 1].first != name + ".length" || fields[i + 2].first != name + ".filename") continue;
    UploadedFile file;
    file.field = name;
    file.value = fields[i].second;
    file.fileName = fields[i + 2].second;
    if (file.value != "SKIPPED" && file.value != "ERROR") {
      if (mode == '1' || mode == '2') {
        std::string_view path = file.value;
        if (path.starts_with(filePath) && onlyLettersAndDigits(path.substr(filePath.size())))
          file.readable = hashFile(file.value, &file.size, &file.sha256);
      } else if (mode == '3') {
        file.readable = true;
        file.size = file.value.size();
        file.sha256 = sha256Hex(file.value);
      }
    }
    files.push_back(std::move(file));
  }
  return files;
}

std::string lineEscape(std::string_view text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c >= 0x21 && c <= 0x7E && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    }
  }
  return out;
}

std::string htmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      // The HTML parser folds a literal CR LF into LF; a textarea's CR LF
      // should show as received.
      case '\r': out += "&#13;"; break;
      case '\t':
      case '\n': out += static_cast<char>(c); break;
      default:
        if (c < 0x20 || c == 0x7F) {
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

std::string formPage(std::string_view scriptName) {
  std::string script = htmlEscape(scriptName);
  std::string page = kHtmlHeaders;
  page +=
      "<!DOCTYPE html>\n"
      "<html><head><meta charset=\"utf-8\"><title>KAVRO3 demo</title></head><body>\n"
      "<h1>KAVRO3 demo</h1>\n"
      "<form method=\"post\" enctype=\"multipart/form-data\" action=\"" +
      script +
      "/result\">\n"
      "<p><label>Customer <input type=\"text\" name=\"customer\"></label></p>\n"
      "<p><label>Comment<br><textarea name=\"comment\"></textarea></label></p>\n"
      "<p><label><input type=\"checkbox\" name=\"gift\" value=\"yes\"> Gift wrapping</label></p>\n"
      "<p><label>Attachment <input type=\"file\" name=\"attachment\"></label></p>\n"
      "<p><button type=\"submit\" id=\"send\">Send</button></p>\n"
      "</form>\n"
      "<p><a id=\"download\" href=\"" +
      script +
      "/download\">Download a picture</a> (a PNG the engine draws itself)</p>\n"
      "</body></html>\n";
  return page;
}

std::string resultPage(const PayloadValues& payload) {
  Fields fields = parseFields(payload.row(kRowQueryString));
  std::vector<UploadedFile> files = uploadedFiles(fields, payload.row(kRowRegistrySettings));

  std::string page = kHtmlHeaders;
  page +=
      "<!DOCTYPE html>\n"
      "<html><head><meta charset=\"utf-8\"><title>KAVRO3 demo result</title>\n"
      "<style>td{white-space:pre-wrap;font-family:monospace;vertical-align:top}td.value{overflow-wrap:"
      "anywhere}</style></head><body>\n"
      "<h1>KAVRO3 demo result</h1>\n"
      "<p><a id=\"back\" href=\"" +
      htmlEscape(payload.row(kRowScriptName)) +
      "/\">Back to the form</a></p>\n"
      "<h2>Fields</h2>\n<table id=\"fields\">\n<tr><th>Name</th><th>Value</th></tr>\n";
  for (const auto& [name, value] : fields)
    page += "<tr class=\"field\">" + cell("name", name) + cell("value", value) + "</tr>\n";
  page +=
      "</table>\n<h2>Uploaded files</h2>\n<table id=\"files\">\n"
      "<tr><th>Field</th><th>File name</th><th>Size</th><th>SHA-256</th></tr>\n";
  for (const UploadedFile& file : files) {
    page += "<tr class=\"file\">" + cell("field", file.field) + cell("file-name", file.fileName) +
            cell("file-size", sizeText(file)) + cell("file-sha256", digestText(file)) + "</tr>\n";
  }
  page +=
      "</table>\n<h2>CGI rows</h2>\n<table id=\"rows\">\n"
      "<tr><th>Row</th><th>Variable</th><th>Value</th></tr>\n";
  for (std::size_t i = 0; i < kCgiRowCount; ++i) {
    page += "<tr class=\"row\">" + cell("", std::to_string(i)) + cell("name", kCgiRowNames[i]) +
            cell("value", payload.row(i)) + "</tr>\n";
  }
  std::vector<std::string> additional = payload.additional();
  for (std::size_t i = 0; i < additional.size(); ++i) {
    page += "<tr class=\"additional\">" + cell("", std::to_string(kCgiRowCount + i)) +
            cell("name", "additional " + std::to_string(i)) + cell("value", additional[i]) + "</tr>\n";
  }
  page += "</table>\n</body></html>\n";
  return page;
}

std::string echoText(const PayloadValues& payload) {
  std::string text = kTextHeaders;
  for (std::size_t i = 0; i < kCgiRowCount; ++i) {
    text += "row " + std::to_string(i) + " " + kCgiRowNames[i] + "=" + lineEscape(payload.row(i)) + "\n";
  }
  std::vector<std::string> additional = payload.additional();
  for (std::size_t i = 0; i < additional.size(); ++i)
    text += "additional " + std::to_string(i) + "=" + lineEscape(additional[i]) + "\n";
  Fields fields = parseFields(payload.row(kRowQueryString));
  for (const auto& [name, value] : fields)
    text += "field " + lineEscape(name) + "=" + lineEscape(value) + "\n";
  for (const UploadedFile& file : uploadedFiles(fields, payload.row(kRowRegistrySettings))) {
    text += "file " + lineEscape(file.field) + " " + sizeText(file) + " " + digestText(file) + " " +
            lineEscape(file.fileName) + "\n";
  }
  return text;
}

std::string notFoundText(std::string_view pathInfo) {
  return std::string("Status: 404 Not Found\r\n") + kTextHeaders + "No such page: " + lineEscape(pathInfo);
}

std::string downloadResponse() {
  static const std::string kResponse = [] {
    std::string png = demoPng();
    return "Content-Type: image/png\r\nContent-Length: " + std::to_string(png.size()) + "\r\n\r\n" + png;
  }();
  return kResponse;
}

std::string textReply(std::string_view text) {
  if (text.find(wire::kReplyMarker) == std::string_view::npos) return reply('0', text);
  return markedReply('0', '0', text);
}

Response handleRequest(const PayloadValues& payload) {
  Page page = route(payload.row(kRowPathInfo));
  switch (page) {
    case Page::kForm: return {textReply(formPage(payload.row(kRowScriptName))), "200 form"};
    case Page::kResult: return {textReply(resultPage(payload)), "200 result"};
    case Page::kDownload: return {hexReply('0', downloadResponse()), "200 download"};
    case Page::kEcho: return {textReply(echoText(payload)), "200 echo"};
    case Page::kNotFound: break;
  }
  return {textReply(notFoundText(payload.row(kRowPathInfo))), "404"};
}

std::string Conversation::onFrame(std::string_view text) {
  Message message;
  if (!parseMessage(text, &message)) {
    if (requestOutcome_.empty()) requestOutcome_ = "malformed message";
    return reply('1', "Malformed message.");
  }
  switch (message.code) {
    case wire::kLogin: {
      Login login;
      if (!parseLogin(message, &login)) {
        if (requestOutcome_.empty()) requestOutcome_ = "malformed login";
        return reply('1', "Malformed login message.");
      }
      user_ = login.userName;
      if (!loginAccepted(login, credentials_)) {
        // The gateway reports the text and ends its run without a Close.
        loginRefused_ = true;
        finished_ = true;
        return reply('1', kLoginRefusedText);
      }
      loggedIn_ = true;
      return reply('0', "Welcome");
    }
    case wire::kRequest: {
      requestAnswered_ = true;
      PayloadValues payload;
      if (!parseRequest(text, &payload)) {
        requestOutcome_ = "malformed request";
        return reply('1', "Malformed request.");
      }
      method_ = payload.row(kRowRequestMethod);
      target_ = payload.row(kRowScriptName) + payload.row(kRowPathInfo);
      if (!loggedIn_) {
        requestOutcome_ = "not logged in";
        return reply('1', "Not logged in.");
      }
      Response response = handleRequest(payload);
      requestOutcome_ = std::move(response.outcome);
      return std::move(response.reply);
    }
    case wire::kClose:
      closed_ = true;
      finished_ = true;
      return reply('0', "");
    default:
      if (requestOutcome_.empty()) requestOutcome_ = "malformed message";
      return reply('1', "Unknown message.");
  }
}

std::string Conversation::outcome() const {
  if (loginRefused_) return "login refused";
  if (!closed_) return requestOutcome_.empty() ? "closed early" : requestOutcome_ + ", closed early";
  return requestOutcome_.empty() ? "no request" : requestOutcome_;
}

std::string Conversation::logLine(long long milliseconds) const {
  return "sample-engine: " + orDash(user_) + " " + orDash(method_) + " " + orDash(target_) + " -> " +
         outcome() + " (" + std::to_string(milliseconds) + " ms)";
}

}  // namespace kavro::engine::demo
