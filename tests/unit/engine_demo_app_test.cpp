#include "engine/demo_app.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/png.h"
#include "engine/sha256.h"
#include "gateway/engine_messages.h"
#include "tests/support/temp_dir.h"
#include "wire/wire.h"

namespace kavro::engine::demo {
namespace {

namespace fs = std::filesystem;

constexpr char kId[] = "0123456789abcdef0123456789abcdef";  // stands for a request identifier

// A payload as the gateway sends it: rows by number, the rest empty.
PayloadValues makePayload(std::vector<std::pair<std::size_t, std::string>> rows,
                          std::vector<std::string> additional = {}) {
  PayloadValues p;
  p.values.assign(wire::kCgiRowCount, "");
  for (auto& [row, value] : rows) p.values[row] = value;
  for (auto& value : additional) p.values.push_back(value);
  return p;
}

std::string registryInfo(const std::string& fileMode, const std::string& filePath) {
  return "RegistryInfo=SOFTWARE\\Halvorn\\KAVRO3&EngineName=&ServerURL=127.0.0.1&ServerPort=8088"
         "&ApplicationName=&UserName=&StartupFlags=65&ShutdownFlags=1&FilePath=" +
         filePath + "&FileMode=" + fileMode + "&SysDownPage=&HXLocation=&AdditionalValues=";
}

// What the gateway makes of a reply: its status and the body it would write.
struct Seen {
  char status;
  std::string body;
};
Seen throughGateway(const std::string& reply) {
  std::vector<char> buffer(reply.begin(), reply.end());
  buffer.push_back('\0');
  std::size_t textLength = std::strlen(buffer.data());  // the link keeps replies as text
  ReplyBody body = decodeReply(buffer.data(), reply.size(), textLength);
  return Seen{body.status, std::string(body.data, body.size)};
}

std::string loginText(const std::string& user, const std::string& password) {
  return "1\x01" + user + "\x01" + password +
         "\x01SHOP\x01"
         "2\x01\x01RUN_KAVRO_REQUEST\x01"
         "65\x01"
         "1\x01\x01";
}

std::string requestText(const PayloadValues& payload) {
  std::string text = "3\x01";
  for (const std::string& value : payload.values) text += value + '\xFE';
  return text + '\x01';
}

// ---------------------------------------------------------------- login

TEST(DemoLogin, UserIgnoresAsciiCasePasswordIsExact) {
  Credentials alice{true, "alice", "s3cret"};
  struct Case {
    const char* user;
    const char* password;
    bool accepted;
  };
  const Case cases[] = {
      {"ALICE", "s3cret", true},   {"alice", "s3cret", true},
      {"AlIcE", "s3cret", true},   {"ALICE", "S3CRET", false},
      {"ALICE", "s3cret ", false}, {"ALICE", "", false},
      {"BOB", "s3cret", false},    {"ALIC", "s3cret", false},
      {"ALICEE", "s3cret", false}, {"", "", false},
  };
  for (const Case& c : cases) {
    Login login;
    login.userName = c.user;
    login.userPassword = c.password;
    EXPECT_EQ(loginAccepted(login, alice), c.accepted) << c.user << " / " << c.password;
  }
}

TEST(DemoLogin, OnlyAsciiLettersFoldLikeTheGatewayRaisesThem) {
  // The gateway raises a to z only: "zoë" arrives as "ZOë".
  Credentials zoe{true, "zo\xC3\xAB", "pw"};
  Login raised{"ZO\xC3\xAB", "pw", "", "", "", "", "", "", ""};
  Login otherLetter{"ZO\xC3\x8B", "pw", "", "", "", "", "", "", ""};  // Ë
  EXPECT_TRUE(loginAccepted(raised, zoe));
  EXPECT_FALSE(loginAccepted(otherLetter, zoe));
}

TEST(DemoLogin, WithoutAUserEveryLoginIsAccepted) {
  Login anyone{"X", "y", "", "", "", "", "", "", ""};
  Login nobody;
  EXPECT_TRUE(loginAccepted(anyone, Credentials{}));
  EXPECT_TRUE(loginAccepted(nobody, Credentials{}));
}

// ---------------------------------------------------------------- routing

TEST(DemoRoute, ByPathInfoExactly) {
  struct Case {
    const char* pathInfo;
    Page page;
  };
  const Case cases[] = {
      {"", Page::kForm},
      {"/", Page::kForm},
      {"/result", Page::kResult},
      {"/download", Page::kDownload},
      {"/echo", Page::kEcho},
      {"/result/", Page::kNotFound},
      {"/Result", Page::kNotFound},
      {"//", Page::kNotFound},
      {"/echo2", Page::kNotFound},
      {"result", Page::kNotFound},
      {"/nope", Page::kNotFound},
  };
  for (const Case& c : cases) EXPECT_EQ(route(c.pathInfo), c.page) << c.pathInfo;
}

TEST(DemoRoute, HandleRequestGivesEachPageItsOutcome) {
  struct Case {
    const char* pathInfo;
    const char* outcome;
    const char* startOfBody;
  };
  const Case cases[] = {
      {"", "200 form", "Content-Type: text/html; charset=utf-8\r\n\r\n<!DOCTYPE html>"},
      {"/", "200 form", "Content-Type: text/html; charset=utf-8\r\n\r\n<!DOCTYPE html>"},
      {"/result", "200 result", "Content-Type: text/html; charset=utf-8\r\n\r\n<!DOCTYPE html>"},
      {"/echo", "200 echo", "Content-Type: text/plain; charset=utf-8\r\n\r\nrow 0 QUERY_STRING="},
      {"/download", "200 download", "Content-Type: image/png\r\nContent-Length: "},
      {"/missing", "404", "Status: 404 Not Found\r\n"},
  };
  for (const Case& c : cases) {
    Response r = handleRequest(makePayload({{1, c.pathInfo}, {17, "/shop/gateway"}}));
    EXPECT_EQ(r.outcome, c.outcome) << c.pathInfo;
    Seen seen = throughGateway(r.reply);
    EXPECT_EQ(seen.status, '0') << c.pathInfo;
    EXPECT_TRUE(seen.body.starts_with(c.startOfBody)) << c.pathInfo << ": " << seen.body.substr(0, 80);
  }
}

// ---------------------------------------------------------------- escaping

TEST(DemoEscape, LineEscapeKeepsPrintableAsciiButPercent) {
  struct Case {
    std::string in;
    const char* out;
  };
  const Case cases[] = {
      {"", ""},
      {"abc-XYZ_09~!", "abc-XYZ_09~!"},
      {"a b", "a%20b"},
      {"100%", "100%25"},
      {"%20", "%2520"},
      {"line\r\nbreak\t", "line%0D%0Abreak%09"},
      {std::string("\x00\x01\x7F\x80\xFE\xFF", 6), "%00%01%7F%80%FE%FF"},
      {"caf\xC3\xA9", "caf%C3%A9"},
      {"=&+/?#\"'<>", "=&+/?#\"'<>"},
  };
  for (const Case& c : cases) EXPECT_EQ(lineEscape(c.in), c.out);
}

TEST(DemoEscape, HtmlEscape) {
  struct Case {
    std::string in;
    const char* out;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"<b>&\"'", "&lt;b&gt;&amp;&quot;&#39;"},
      {"a\r\nb\tc", "a&#13;\nb\tc"},
      {std::string("\x00\x01\x7F", 3), "\\x00\\x01\\x7F"},
      {"Zo\xC3\xAB", "Zo\xC3\xAB"},
  };
  for (const Case& c : cases) EXPECT_EQ(htmlEscape(c.in), c.out);
}

// ---------------------------------------------------------------- pages

TEST(DemoPages, FormPageCarriesTheFormAndTheDownloadLink) {
  std::string page = formPage("/shop/gateway");
  ASSERT_TRUE(page.starts_with("Content-Type: text/html; charset=utf-8\r\n\r\n"));
  for (const char* piece : {
           "<form method=\"post\" enctype=\"multipart/form-data\" action=\"/shop/gateway/result\">",
           "<input type=\"text\" name=\"customer\">",
           "<textarea name=\"comment\">",
           "<input type=\"checkbox\" name=\"gift\" value=\"yes\">",
           "<input type=\"file\" name=\"attachment\">",
           "<button type=\"submit\" id=\"send\">Send</button>",
           "<a id=\"download\" href=\"/shop/gateway/download\">",
       }) {
    EXPECT_NE(page.find(piece), std::string::npos) << piece;
  }
  EXPECT_LT(page.find("<form"), page.find("</form>"));
  EXPECT_LT(page.find("name=\"customer\""), page.find("name=\"attachment\""));
}

TEST(DemoPages, FormPageEscapesTheScriptName) {
  std::string page = formPage("/a\"b<c");
  EXPECT_NE(page.find("action=\"/a&quot;b&lt;c/result\""), std::string::npos);
  EXPECT_EQ(page.find("/a\"b"), std::string::npos);
}

TEST(DemoPages, NotFoundNamesThePath) {
  EXPECT_EQ(notFoundText("/nope"),
            "Status: 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nNo such page: /nope");
  EXPECT_EQ(
      notFoundText("/a b\n"),
      "Status: 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nNo such page: /a%20b%0A");
}

TEST(DemoPages, DownloadIsThePngBehindItsHeadersHexEncoded) {
  std::string png = demoPng();
  std::string expected =
      "Content-Type: image/png\r\nContent-Length: " + std::to_string(png.size()) + "\r\n\r\n" + png;
  EXPECT_EQ(downloadResponse(), expected);
  Response r = handleRequest(makePayload({{1, "/download"}}));
  EXPECT_TRUE(r.reply.starts_with(std::string("0\x01KAVRO21")));
  Seen seen = throughGateway(r.reply);
  EXPECT_EQ(seen.status, '0');
  EXPECT_EQ(seen.body, expected);  // zero bytes included
}

TEST(DemoPages, TextRepliesGoWithoutMarkerUnlessTheTextHoldsOne) {
  EXPECT_EQ(textReply("hello"), std::string("0\x01hello\x01"));
  // A field value "KAVRO21414141" must not turn the page into hex.
  PayloadValues p = makePayload({{0, "note=xKAVRO21414141"}, {1, "/echo"}});
  Response r = handleRequest(p);
  Seen seen = throughGateway(r.reply);
  EXPECT_EQ(seen.status, '0');
  EXPECT_EQ(seen.body, echoText(p));
  EXPECT_NE(seen.body.find("field note=xKAVRO21414141\n"), std::string::npos);
}

// ---------------------------------------------------------------- result and echo with files

class DemoFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    spool_ = dir_ + "/spool/";
    ASSERT_TRUE(fs::create_directory(spool_));
  }

  std::string spoolFile(int index, const std::string& content) {
    std::string path = spool_ + std::to_string(index) + kId;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  test::TempDir temp_{"kavro3-demo"};
  const std::string& dir_ = temp_.path();
  std::string spool_;
};

// The percent-encoding of the gateway for the few bytes these tests use.
std::string enc(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || std::strchr("@./\\-_:", c)) {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string fileFields(const std::string& name, const std::string& value, std::size_t length,
                       const std::string& fileName) {
  return name + "=" + enc(value) + "&" + name + ".length=" + std::to_string(length) + "&" + name +
         ".filename=" + enc(fileName) + "&" + name + ".contenttype=application/octet-stream";
}

TEST_F(DemoFiles, SpooledFilesAreReadFromDiskInFileModes1And2) {
  const std::string content("PK\x03\x04\x00\x00 binary \xFF\r\n", 16);
  std::string path0 = spoolFile(0, content);
  std::string path1 = spoolFile(1, "");
  for (const char* mode : {"1", "2", "12"}) {
    Fields fields = parseFields("customer=Ann&" + fileFields("up", path0, content.size(), "a b.bin") + "&" +
                                fileFields("empty", path1, 0, "e.txt"));
    std::vector<UploadedFile> files = uploadedFiles(fields, registryInfo(mode, enc(spool_)));
    ASSERT_EQ(files.size(), 2u) << mode;
    EXPECT_EQ(files[0].field, "up");
    EXPECT_EQ(files[0].fileName, "a b.bin");
    EXPECT_TRUE(files[0].readable) << mode;
    EXPECT_EQ(files[0].size, content.size());
    EXPECT_EQ(files[0].sha256, sha256Hex(content));
    EXPECT_EQ(files[1].field, "empty");
    EXPECT_TRUE(files[1].readable);
    EXPECT_EQ(files[1].size, 0u);
    EXPECT_EQ(files[1].sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  }
}

TEST_F(DemoFiles, LargeSpooledFileIsHashedWhole) {
  std::string content;
  for (int i = 0; i < 300000; ++i) content += static_cast<char>(i * 13 % 256);
  std::string path = spoolFile(0, content);
  std::vector<UploadedFile> files = uploadedFiles(parseFields(fileFields("f", path, content.size(), "big")),
                                                  registryInfo("1", enc(spool_)));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].size, content.size());
  EXPECT_EQ(files[0].sha256, sha256Hex(content));
}

TEST_F(DemoFiles, UnreadableSkippedErrorAndForeignPathsShowNoSize) {
  std::string outside = dir_ + "/outside";
  std::ofstream(outside) << "secret";
  struct Case {
    std::string value;
    const char* why;
  };
  const Case cases[] = {
      {"SKIPPED", "more than 20 files"},
      {"ERROR", "the spool file could not be created"},
      {spool_ + "7" + kId, "no such file"},
      {outside, "not FilePath followed by the gateway's name"},
      {spool_ + "../outside", "climbs out of FilePath"},
      {spool_, "FilePath alone"},
  };
  for (const Case& c : cases) {
    std::vector<UploadedFile> files =
        uploadedFiles(parseFields(fileFields("f", c.value, 6, "x")), registryInfo("1", enc(spool_)));
    ASSERT_EQ(files.size(), 1u) << c.why;
    EXPECT_FALSE(files[0].readable) << c.why;
    EXPECT_EQ(files[0].value, c.value);
  }
}

TEST(DemoFileModes, InlineContentInFileMode3OtherModesReadNothing) {
  struct Case {
    const char* mode;
    bool readable;
  };
  for (Case c : {Case{"3", true}, Case{"4", false}, Case{"", false}, Case{"x", false}}) {
    std::vector<UploadedFile> files =
        uploadedFiles(parseFields(fileFields("up", "hello world", 11, "h.txt")), registryInfo(c.mode, ""));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].readable, c.readable) << c.mode;
    if (c.readable) {
      EXPECT_EQ(files[0].size, 11u);
      EXPECT_EQ(files[0].sha256, sha256Hex("hello world"));
    }
  }
  // FileMode 3 with SKIPPED (the gateway's own words) still shows nothing.
  EXPECT_FALSE(
      uploadedFiles(parseFields(fileFields("up", "SKIPPED", 7, "s")), registryInfo("3", ""))[0].readable);
}

TEST(DemoFileModes, RegistrySettingIsDecodedAndDefaults) {
  std::string info = "RegistryInfo=SOFTWARE\\Halvorn\\KAVRO3\\shop&FilePath=C:\\my%20spool\\&FileMode=2";
  EXPECT_EQ(registrySetting(info, "FilePath", "?"), "C:\\my spool\\");
  EXPECT_EQ(registrySetting(info, "FileMode", "?"), "2");
  EXPECT_EQ(registrySetting(info, "RegistryInfo", "?"), "SOFTWARE\\Halvorn\\KAVRO3\\shop");
  EXPECT_EQ(registrySetting(info, "HXLocation", "?"), "?");
  EXPECT_EQ(registrySetting("", "FileMode", "1"), "1");
}

TEST(DemoFileModes, FileFieldNeedsLengthThenFilenameRightAfterIt) {
  struct Case {
    const char* query;
    std::size_t files;
  };
  const Case cases[] = {
      {"up=x&up.length=1&up.filename=a", 1},
      {"up=x&up.length=1&up.filename=a&up.contenttype=t", 1},
      {"up=x&up.filename=a&up.length=1", 0},
      {"up=x&up.length=1&other=2&up.filename=a", 0},
      {"up=x&up.length=1", 0},
      {"up=x&UP.length=1&UP.filename=a", 0},
      {"a=x&a.length=1&a.filename=1&b=y&b.length=1&b.filename=2", 2},
  };
  for (const Case& c : cases)
    EXPECT_EQ(uploadedFiles(parseFields(c.query), registryInfo("3", "")).size(), c.files) << c.query;
}

TEST_F(DemoFiles, ResultPageListsFieldsFilesAndRows) {
  const std::string content = "file body\n";
  std::string path = spoolFile(0, content);
  PayloadValues p =
      makePayload({{0, "customer=Zo%C3%AB%20%3Cb%3E&comment=l1%0D%0Al2&gift=yes&" +
                           fileFields("attachment", path, content.size(), "r\xC3\xA9sum\xC3\xA9.txt") + "&" +
                           fileFields("second", "SKIPPED", 3, "s.bin")},
                   {1, "/result"},
                   {16, "POST"},
                   {17, "/shop/gateway"},
                   {25, registryInfo("1", enc(spool_))}},
                  {"extra-one", ""});
  std::string page = resultPage(p);
  ASSERT_TRUE(page.starts_with("Content-Type: text/html; charset=utf-8\r\n\r\n"));
  EXPECT_NE(page.find("<title>KAVRO3 demo result</title>"), std::string::npos);
  for (std::string piece : {
           std::string("<tr class=\"field\"><td class=\"name\">customer</td><td class=\"value\">Zo\xC3\xAB "
                       "&lt;b&gt;</td></tr>"),
           std::string("<td class=\"name\">comment</td><td class=\"value\">l1&#13;\nl2</td>"),
           std::string("<td class=\"name\">gift</td><td class=\"value\">yes</td>"),
           "<td class=\"name\">attachment</td><td class=\"value\">" + path + "</td>",
           std::string("<td class=\"name\">attachment.filename</td><td "
                       "class=\"value\">r\xC3\xA9sum\xC3\xA9.txt</td>"),
           "<tr class=\"file\"><td class=\"field\">attachment</td><td "
           "class=\"file-name\">r\xC3\xA9sum\xC3\xA9.txt</td>"
           "<td class=\"file-size\">10</td><td class=\"file-sha256\">" +
               sha256Hex(content) + "</td></tr>",
           std::string("<tr class=\"file\"><td class=\"field\">second</td><td class=\"file-name\">s.bin</td>"
                       "<td class=\"file-size\">-</td><td class=\"file-sha256\">-</td></tr>"),
           std::string("<td class=\"name\">REQUEST_METHOD</td><td class=\"value\">POST</td>"),
           std::string("<td class=\"name\">PATH_INFO</td><td class=\"value\">/result</td>"),
           std::string("<tr class=\"additional\"><td>26</td><td class=\"name\">additional 0</td><td "
                       "class=\"value\">extra-one</td></tr>"),
           std::string("<tr class=\"additional\"><td>27</td><td class=\"name\">additional 1</td><td "
                       "class=\"value\"></td></tr>"),
       }) {
    EXPECT_NE(page.find(piece), std::string::npos) << piece;
  }
  // Tables in order: fields, files, rows; fields in the order received.
  std::size_t fields = page.find("<table id=\"fields\">"), files = page.find("<table id=\"files\">"),
              rows = page.find("<table id=\"rows\">");
  ASSERT_NE(fields, std::string::npos);
  EXPECT_LT(fields, files);
  EXPECT_LT(files, rows);
  EXPECT_LT(page.find(">customer<"), page.find(">comment<"));
  EXPECT_LT(page.find(">comment<"), page.find(">gift<"));
  // 26 CGI rows, each one once.
  std::size_t count = 0;
  for (std::size_t at = page.find("<tr class=\"row\">"); at != std::string::npos;
       at = page.find("<tr class=\"row\">", at + 1))
    ++count;
  EXPECT_EQ(count, wire::kCgiRowCount);
  // Two file rows, no more.
  count = 0;
  for (std::size_t at = page.find("<tr class=\"file\">"); at != std::string::npos;
       at = page.find("<tr class=\"file\">", at + 1))
    ++count;
  EXPECT_EQ(count, 2u);
}

TEST_F(DemoFiles, EchoListsRowsAdditionalFieldsAndFilesInOrder) {
  const std::string content("\x00\x01zero", 6);
  std::string path = spoolFile(0, content);
  std::string query = "a=1&b=x%20y&" + fileFields("up", path, content.size(), "my file.bin") + "&" +
                      fileFields("gone", "ERROR", 3, "g");
  PayloadValues p = makePayload({{0, query},
                                 {1, "/echo"},
                                 {7, "k=v; w=%"},
                                 {16, "GET"},
                                 {17, "/shop/gateway"},
                                 {25, registryInfo("1", enc(spool_))}},
                                {"h1", "two words"});
  std::string expected = "Content-Type: text/plain; charset=utf-8\r\n\r\n";
  for (std::size_t i = 0; i < wire::kCgiRowCount; ++i) {
    std::string value = p.row(i);
    expected += "row " + std::to_string(i) + " " + wire::kCgiRowNames[i] + "=" + lineEscape(value) + "\n";
  }
  expected += "additional 0=h1\nadditional 1=two%20words\n";
  expected += "field a=1\nfield b=x%20y\n";
  expected += "field up=" + lineEscape(path) +
              "\nfield up.length=6\nfield up.filename=my%20file.bin\n"
              "field up.contenttype=application/octet-stream\n";
  expected +=
      "field gone=ERROR\nfield gone.length=3\nfield gone.filename=g\n"
      "field gone.contenttype=application/octet-stream\n";
  expected += "file up 6 " + sha256Hex(content) + " my%20file.bin\n";
  expected += "file gone - - g\n";
  EXPECT_EQ(echoText(p), expected);
  // A few rows spelled out, so that the expectation is not only lineEscape's.
  EXPECT_NE(expected.find("\nrow 7 HTTP_COOKIE=k=v;%20w=%25\n"), std::string::npos);
  EXPECT_NE(expected.find("\nrow 16 REQUEST_METHOD=GET\n"), std::string::npos);
  EXPECT_NE(expected.find("\nrow 24 ISBINARY=\n"), std::string::npos);
  EXPECT_TRUE(expected.starts_with(
      "Content-Type: text/plain; charset=utf-8\r\n\r\nrow 0 QUERY_STRING=a=1&b=x%2520y&"));
}

// ---------------------------------------------------------------- conversation

TEST(DemoConversation, LoginRequestCloseAndTheLogLine) {
  Conversation c(Credentials{true, "alice", "pw"});
  EXPECT_EQ(c.onFrame(loginText("ALICE", "pw")), std::string("0\x01Welcome\x01"));
  EXPECT_FALSE(c.finished());
  EXPECT_FALSE(c.requestAnswered());
  PayloadValues p = makePayload({{1, "/"}, {16, "GET"}, {17, "/shop/gateway"}});
  std::string reply = c.onFrame(requestText(p));
  EXPECT_EQ(reply, textReply(formPage("/shop/gateway")));
  EXPECT_FALSE(c.finished());
  EXPECT_TRUE(c.requestAnswered());
  EXPECT_EQ(c.onFrame("2\x01"), std::string("0\x01\x01"));
  EXPECT_TRUE(c.finished());
  EXPECT_EQ(c.logLine(12), "sample-engine: ALICE GET /shop/gateway/ -> 200 form (12 ms)");
}

TEST(DemoConversation, WrongLoginIsRefusedWithTheText) {
  Conversation c(Credentials{true, "alice", "pw"});
  std::string reply = c.onFrame(loginText("ALICE", "PW"));
  EXPECT_EQ(reply, std::string("1\x01Login refused: wrong user name or password.\x01"));
  EXPECT_TRUE(c.finished());
  EXPECT_EQ(c.logLine(0), "sample-engine: ALICE - - -> login refused (0 ms)");
  // What the gateway shows: offset 2 up to the last byte.
  EXPECT_EQ(reply.substr(2, reply.size() - 3), kLoginRefusedText);
}

TEST(DemoConversation, OutcomesOfUnusualConversations) {
  PayloadValues echo = makePayload({{1, "/echo"}, {16, "GET"}, {17, "/s g"}});
  PayloadValues missing = makePayload({{1, "/x"}, {16, "POST"}, {17, "/s"}});
  struct Case {
    std::vector<std::string> frames;
    std::vector<char> statuses;
    const char* log;
  };
  const Case cases[] = {
      {{}, {}, "sample-engine: - - - -> closed early (1 ms)"},
      {{loginText("U", "")}, {'0'}, "sample-engine: U - - -> closed early (1 ms)"},
      {{loginText("U", ""), requestText(echo)},
       {'0', '0'},
       "sample-engine: U GET /s%20g/echo -> 200 echo, closed early (1 ms)"},
      {{loginText("U", ""), requestText(missing), "2\x01"},
       {'0', '0', '0'},
       "sample-engine: U POST /s/x -> 404 (1 ms)"},
      {{loginText("", ""), "2\x01"}, {'0', '0'}, "sample-engine: - - - -> no request (1 ms)"},
      {{requestText(echo), "2\x01"}, {'1', '0'}, "sample-engine: - GET /s%20g/echo -> not logged in (1 ms)"},
      {{loginText("U", ""), "3\x01no separator at all", "2\x01"},
       {'0', '1', '0'},
       "sample-engine: U - - -> malformed message (1 ms)"},
      {{loginText("U", ""),
        "3\x01too\xFE"
        "few\xFE\x01",
        "2\x01"},
       {'0', '1', '0'},
       "sample-engine: U - - -> malformed request (1 ms)"},
      {{"1\x01only\x01two\x01", "2\x01"}, {'1', '0'}, "sample-engine: - - - -> malformed login (1 ms)"},
      {{"9\x01", "2\x01"}, {'1', '0'}, "sample-engine: - - - -> malformed message (1 ms)"},
      {{"", "2\x01"}, {'1', '0'}, "sample-engine: - - - -> malformed message (1 ms)"},
  };
  for (const Case& k : cases) {
    Conversation c(Credentials{});
    ASSERT_EQ(k.frames.size(), k.statuses.size());
    for (std::size_t i = 0; i < k.frames.size(); ++i) {
      std::string reply = c.onFrame(k.frames[i]);
      ASSERT_FALSE(reply.empty());
      EXPECT_EQ(reply[0], k.statuses[i]) << k.log << " frame " << i;
    }
    EXPECT_EQ(c.logLine(1), k.log);
  }
}

}  // namespace
}  // namespace kavro::engine::demo
