#include "gateway/engine_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kavro {
namespace {

Settings defaults() {
  Settings s{};
  std::strcpy(s.serverUrl, "localhost");
  std::strcpy(s.serverPort, "8088");
  std::strcpy(s.procedureName, "RUN_KAVRO_REQUEST");
  std::strcpy(s.startupFlags, "65");
  std::strcpy(s.shutdownFlags, "1");
  std::strcpy(s.fileMode, "1");
  std::strcpy(s.multipleServers, "0");
  return s;
}

TEST(LoginMessage, FieldsInOrderEachEndedBySeparator) {
  Settings s = defaults();
  std::strcpy(s.userName, "ADMIN");
  std::strcpy(s.applicationName, "SHOP");
  char buffer[kMessageBufferSize];
  std::size_t n = buildLoginMessage(s, buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n), std::string("1\x01"
                                                "ADMIN\x01\x01SHOP\x01"
                                                "2\x01\x01RUN_KAVRO_REQUEST\x01"
                                                "65\x01"
                                                "1\x01\x01"));
  EXPECT_EQ(n, 41u);
}

TEST(LoginMessage, EmptySettingsStillGiveTenSeparators) {
  Settings s{};
  char buffer[kMessageBufferSize];
  std::size_t n = buildLoginMessage(s, buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n), std::string("1\x01\x01\x01\x01"
                                                "2\x01\x01\x01\x01\x01\x01"));
}

TEST(LoginMessage, LongestSettingsFitTheBuffer) {
  Settings s{};
  auto fill = [](char* field, std::size_t size) {
    std::memset(field, 'x', size - 1);
    field[size - 1] = '\0';
  };
  fill(s.userName, sizeof s.userName);
  fill(s.userPassword, sizeof s.userPassword);
  fill(s.applicationName, sizeof s.applicationName);
  fill(s.engineName, sizeof s.engineName);
  fill(s.procedureName, sizeof s.procedureName);
  fill(s.startupFlags, sizeof s.startupFlags);
  fill(s.shutdownFlags, sizeof s.shutdownFlags);
  fill(s.hxLocation, sizeof s.hxLocation);
  char buffer[kMessageBufferSize];
  EXPECT_EQ(buildLoginMessage(s, buffer, sizeof buffer), 1825u);
}

TEST(UpperCase, OnlyAsciiLettersAreRaised) {
  char text[] = "admin-\xC3\xB6z{`@";
  upperCaseAscii(text);
  EXPECT_STREQ(text, "ADMIN-\xC3\xB6Z{`@");
}

TEST(HexDecode, PairsOfUpperCaseDigits) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"48656C6C6F", "Hello"},
      {"00", std::string(1, '\0')},
      {"00FF7F", std::string("\x00\xFF\x7F", 3)},
      {"414", "A"},  // a last character without a partner is ignored
      {"", ""},
      {"af", "F"},  // lower case is not hexadecimal: ('a'-48)*16 + ('f'-48) = 0x46
      {"GG", std::string(1, static_cast<char>(((('G' - 48) * 16) + ('G' - 48)) & 0xFF))},
      {"\x80"
       "0",
       std::string(1, static_cast<char>(((-128 - 48) * 16 + 0) & 0xFF))},
  };
  for (const Case& c : cases) {
    std::string text = c.in;
    std::size_t n = hexDecodeInPlace(text.data(), text.size());
    EXPECT_EQ(text.substr(0, n), c.out) << "input " << c.in;
  }
}

struct ReplyCase {
  const char* title;
  std::string reply;  // the announced bytes
  char status;
  std::string body;
};

class ReplyDecoding : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyDecoding, StatusAndBody) {
  const ReplyCase& c = GetParam();
  std::vector<char> buffer(c.reply.begin(), c.reply.end());
  buffer.push_back('\0');
  std::size_t textLength = std::strlen(buffer.data());
  ReplyBody body = decodeReply(buffer.data(), c.reply.size(), textLength);
  EXPECT_EQ(body.status, c.status);
  EXPECT_EQ(std::string(body.data, body.size), c.body);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyDecoding,
    ::testing::Values(
        ReplyCase{"Plain", std::string("0\x01Hello\x01"), '0', "Hello"},
        ReplyCase{"MarkerAtOffsetTwo",
                  std::string("0\x01KAVRO21"
                              "48656C6C6F\x01"),
                  '0', "Hello"},
        ReplyCase{"OtherSelectorKeepsText",
                  std::string("0\x01KAVRO20"
                              "48656C6C6F\x01"),
                  '0', "48656C6C6F"},
        ReplyCase{"TextBeforeMarkerDropped", std::string("0\x01junk KAVRO2xbody\x01"), '0', "body"},
        ReplyCase{"SecondMarkerIsBody", std::string("0\x01KAVRO2xKAVRO21AB\x01"), '0', "KAVRO21AB"},
        ReplyCase{"HexOddLength",
                  std::string("0\x01KAVRO21"
                              "41424\x01"),
                  '0', "AB"},
        ReplyCase{"HexZeroByte",
                  std::string("0\x01KAVRO21"
                              "00\x01"),
                  '0', std::string(1, '\0')},
        ReplyCase{"StatusOther", std::string("1\x01Nope\x01"), '1', "Nope"},
        ReplyCase{"OneByte", std::string("0"), '\0', ""},
        ReplyCase{"TwoBytes", std::string("0\x01"), '0', ""},
        ReplyCase{"ThreeBytes", std::string("0\x01x"), '0', ""},
        ReplyCase{"FourBytes", std::string("0\x01xy"), '0', "x"},
        ReplyCase{"MarkerWithoutSelector", std::string("0\x01KAVRO2\x01"), '0', ""},
        ReplyCase{"MarkerSelectorOnly", std::string("0\x01KAVRO21\x01"), '0', ""},
        ReplyCase{"MarkerCutByLastByte", std::string("0\x01KAVRO"), '0', "KAVR"},
        // The text ends at the first zero byte: nothing after it counts.
        ReplyCase{"ZeroByteEndsText",
                  std::string("0\x01"
                              "ab\0cd\x01",
                              8),
                  '0', "ab"},
        ReplyCase{"ZeroByteHidesMarker",
                  std::string("0\x01"
                              "ab\0KAVRO2141\x01",
                              14),
                  '0', "ab"},
        ReplyCase{"ZeroStatus",
                  std::string("\0\x01"
                              "abc\x01",
                              6),
                  '\0', ""}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.title); });

}  // namespace
}  // namespace kavro
