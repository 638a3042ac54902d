// A request held in memory, for the tests and fuzz targets that drive the
// decoder and the driver's modules without a process of their own: chosen
// variables, a body that arrives in reads of chosen sizes or mapped whole,
// and everything written to it kept in strings.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "platform/request.h"

namespace kavro::test {

class FakeRequest final : public platform::Request {
 public:
  // Thrown by end(): what ended the request, for the test to catch.
  struct Ended {
    int status;
  };

  // Sets the variable `name` to `value`; null unsets it.
  void set(const std::string& name, const char* value);

  // The body, each read of it at most readLimit() bytes (0, or no limit
  // set: as many as asked). With `mappable`, mapBody() hands out a private
  // copy of what has not been read.
  std::string body;
  std::function<std::size_t()> readLimit;
  bool mappable = false;

  // Everything written, reports and reply in the order written; the log
  // lines; whether setBinary() was called; a response that cannot be written.
  std::string output;
  std::string log;
  bool binary = false;
  bool closed = false;
  int errorCode = 0;  // lastErrorCode() once closed

  // The number of mapBody() copies not yet unmapped.
  int mapped = 0;

  const char* variable(const char* name) override;
  std::size_t readBody(char* buffer, std::size_t size) override;
  char* mapBody(std::size_t* size) override;
  void unmapBody(char* base, std::size_t size) override;
  void writeText(const char* data, std::size_t size) override;
  void setBinary() override { binary = true; }
  bool responseOpen() override { return !closed; }
  bool writeReply(const char* data, std::size_t size, std::size_t* written) override;
  int lastErrorCode() override { return errorCode; }
  void writeLog(const char* line, std::size_t size) override { log.append(line, size); }
  [[noreturn]] void end(int status) override { throw Ended{status}; }

 private:
  std::map<std::string, std::string> variables_;
  std::size_t at_ = 0;
};

}  // namespace kavro::test
