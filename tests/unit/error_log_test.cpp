#include "gateway/error_log.h"

#include <gtest/gtest.h>

#include <string>

namespace kavro {
namespace {

std::string line(const char* key, const char* script, const char* remote, const char* message) {
  char buffer[kErrorLogLineMax];
  std::size_t length = formatErrorLogLine(buffer, key, script, remote, message);
  return std::string(buffer, length);
}

struct LogCase {
  const char* key;
  const char* script;
  const char* remote;
  const char* message;
  std::string expected;
};

TEST(ErrorLogLine, FieldsEscapesAndLineEnds) {
  const LogCase cases[] = {
      {"SOFTWARE\\Halvorn\\KAVRO3\\shop", "/shop/gateway", "192.0.2.1",
       "Unable to connect to Engine Server appsrv:8088 - The attempt to connect was forcefully rejected.\n",
       "kavro3: key=SOFTWARE\\Halvorn\\KAVRO3\\shop script=/shop/gateway remote=192.0.2.1 msg=Unable to "
       "connect to Engine Server appsrv:8088 - The attempt to connect was forcefully rejected.\n"},
      // The line ends around a text go; those inside it are escaped.
      {"none", "/x", "::1", "\nCommunication failure - Engine Server has disconnected\n",
       "kavro3: key=none script=/x remote=::1 msg=Communication failure - Engine Server has disconnected\n"},
      {"-", nullptr, nullptr, "\r\nline one\nline two\r\n",
       "kavro3: key=- script=- remote=- msg=line one\\nline two\n"},
      {"-", "", "", "", "kavro3: key=- script= remote= msg=\n"},
      {"-", "/", "", nullptr, "kavro3: key=- script=/ remote= msg=\n"},
      // Blanks separate the fields, so inside them they are escaped; in the
      // message only control bytes are. Bytes above 0x7F pass as they are.
      {"SOFTWARE\\Halvorn\\KAVRO3\\my shop", "/my shop/g\tw",
       "a\x01"
       "b",
       "tab\there \x7F \x1b[31m caf\xc3\xa9",
       "kavro3: key=SOFTWARE\\Halvorn\\KAVRO3\\my\\x20shop script=/my\\x20shop/g\\tw remote=a\\x01b "
       "msg=tab\\there \\x7F \\x1B[31m caf\xc3\xa9\n"},
  };
  for (const LogCase& c : cases) EXPECT_EQ(line(c.key, c.script, c.remote, c.message), c.expected);
}

TEST(ErrorLogLine, LongFieldsAreCutBetweenEscapes) {
  const std::string fits(kErrorLogFieldMax, 's');
  EXPECT_EQ(line("-", fits.c_str(), "r", "m"), "kavro3: key=- script=" + fits + " remote=r msg=m\n");
  const std::string over = fits + "s";
  EXPECT_EQ(line("-", over.c_str(), "r", "m"),
            "kavro3: key=- script=" + std::string(kErrorLogFieldMax - 3, 's') + "... remote=r msg=m\n");
  // An escape that would pass the cut is dropped whole.
  const std::string blank = std::string(kErrorLogFieldMax - 5, 'b') + " tail";
  EXPECT_EQ(line("-", "s", blank.c_str(), "m"),
            "kavro3: key=- script=s remote=" + std::string(kErrorLogFieldMax - 5, 'b') + "... msg=m\n");
}

TEST(ErrorLogLine, LongMessageEndsTheLineAtItsLimit) {
  const std::string prefix = "kavro3: key=- script=s remote=r msg=";
  const std::size_t room = kErrorLogLineMax - 1 - prefix.size();
  const std::string fits(room, 'm');
  EXPECT_EQ(line("-", "s", "r", fits.c_str()), prefix + fits + "\n");
  const std::string over(room + 1, 'm');
  std::string cut = line("-", "s", "r", over.c_str());
  EXPECT_EQ(cut.size(), kErrorLogLineMax);
  EXPECT_EQ(cut, prefix + std::string(room - 3, 'm') + "...\n");
  // Every byte escaped four times over still stops at the limit.
  const std::string controls(1023, '\x02');
  std::string escaped = line("-", "s", "r", controls.c_str());
  EXPECT_LE(escaped.size(), kErrorLogLineMax);
  EXPECT_EQ(escaped.substr(escaped.size() - 8), "\\x02...\n");
}

}  // namespace
}  // namespace kavro
