// The sample engine's demo application, as functions of what arrives over the
// Engine link: the login check, the pages chosen by PATH_INFO, and one
// conversation (Login, Request, Close) as a state machine. Nothing here
// touches a socket; sample_engine.cpp carries the Frames.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/protocol.h"

namespace kavro::engine::demo {

inline constexpr char kLoginRefusedText[] = "Login refused: wrong user name or password.";

// The user and password given on the command line. Without a user every
// login is accepted.
struct Credentials {
  bool required = false;
  std::string user;
  std::string password;
};

// The gateway upper-cases the UserName it sends (a to z only), so the user
// compares without regard to ASCII case; the password compares exactly.
bool loginAccepted(const Login& login, const Credentials& credentials);

enum class Page { kForm, kResult, kDownload, kEcho, kNotFound };
// By PATH_INFO: "" or "/" the form, "/result", "/download", "/echo"; exact.
Page route(std::string_view pathInfo);

using Fields = std::vector<std::pair<std::string, std::string>>;

// An uploaded file as the gateway forwards it: a field X followed by
// X.length and X.filename (X.contenttype comes next but is not required).
struct UploadedFile {
  std::string field;
  std::string value;     // the path, the content itself, SKIPPED or ERROR
  std::string fileName;  // X.filename's value
  bool readable = false;
  std::uint64_t size = 0;
  std::string sha256;  // lower-case hex; empty when not readable
};

// One value of the RegistryInfo string (row 25), decoded; `fallback` when
// the name is not there.
std::string registrySetting(std::string_view registryInfo, std::string_view name, std::string fallback);

// The uploaded files among the fields, with their size and SHA-256. Which
// bytes count depends on FileMode's first character: '1' and '2' read the
// spooled path (which must be FilePath followed by letters and digits only,
// as the gateway names them, so that no other file can be asked for), '3'
// takes the value itself; SKIPPED, ERROR and anything unreadable show no size.
std::vector<UploadedFile> uploadedFiles(const Fields& fields, std::string_view registryInfo);

// Printable ASCII (0x21 to 0x7E) but '%' stays; every other byte, the blank
// included, becomes %XX: a value on one line, never broken.
std::string lineEscape(std::string_view text);
// Text and attribute values alike. A carriage return becomes &#13; (kept
// in the DOM); control bytes other than tab and line feed are shown as \xNN
// (a zero byte would end the reply).
std::string htmlEscape(std::string_view text);

std::string formPage(std::string_view scriptName);
std::string resultPage(const PayloadValues& payload);
std::string echoText(const PayloadValues& payload);
std::string notFoundText(std::string_view pathInfo);
// CGI headers and the PNG bytes, before hex encoding.
std::string downloadResponse();

// The reply to a Request, ready to be framed, and the outcome for the log
// ("200 form", "404", ...).
struct Response {
  std::string reply;
  std::string outcome;
};
Response handleRequest(const PayloadValues& payload);

// A reply of status '0' for a text body. The gateway takes the first
// "KAVRO2" in a reply as the marker, so a text that holds it (a field value
// can) goes behind a marker of our own with a selector other than '1',
// which the gateway passes unchanged.
std::string textReply(std::string_view text);

// One conversation over one connection.
class Conversation {
 public:
  explicit Conversation(Credentials credentials) : credentials_(std::move(credentials)) {}

  // The reply to the text of one Frame received.
  std::string onFrame(std::string_view text);
  // After the Close message or a refused login: nothing more is read.
  bool finished() const { return finished_; }
  // A Request has been answered: only the Close message is still to come.
  bool requestAnswered() const { return requestAnswered_; }
  // "sample-engine: USER METHOD SCRIPT_NAME+PATH_INFO -> OUTCOME (N ms)".
  std::string logLine(long long milliseconds) const;
  std::string outcome() const;

 private:
  Credentials credentials_;
  bool loggedIn_ = false;
  bool loginRefused_ = false;
  bool closed_ = false;
  bool finished_ = false;
  bool requestAnswered_ = false;
  std::string user_, method_, target_;
  std::string requestOutcome_;
};

}  // namespace kavro::engine::demo
