// One request as the web server hands it over: its variables, its body, its
// response and its end. The gateway and the decoder reach the request only
// through this interface, so that the same road serves a CGI process (one
// request, the process's own environment and standard handles) and a
// process that serves many requests in turn.
#pragma once

#include <cstddef>

namespace kavro::platform {

class Request {
 public:
  virtual ~Request() = default;

  // ---- variables
  // The value of the variable `name`, or null when it is not set (an empty
  // value is set). Valid until the request ends.
  virtual const char* variable(const char* name) = 0;

  // ---- body
  // Reads 1 to `size` bytes of the body into `buffer`, or returns 0 once the
  // body has ended. Before setBinary() a Windows CGI body is read in text
  // mode (CR LF arrives as LF, a byte 0x1A ends it).
  virtual std::size_t readBody(char* buffer, std::size_t size) = 0;
  // The rest of the body mapped whole and privately (writes never reach its
  // source), when it lies in a regular file and nothing of it has been read;
  // null otherwise, and the body is then read with readBody().
  virtual char* mapBody(std::size_t* size) = 0;
  virtual void unmapBody(char* base, std::size_t size) = 0;

  // ---- response
  // Text for the response written through the runtime's buffered stream:
  // the reports and the error page. Before setBinary() a Windows CGI stream
  // writes each LF as CR LF.
  virtual void writeText(const char* data, std::size_t size) = 0;
  // Body and response untranslated from now on (_setmode(_O_BINARY)).
  virtual void setBinary() = 0;
  // Whether the response can be written at all (GetStdHandle on Windows);
  // false leaves the reason in lastErrorCode().
  virtual bool responseOpen() = 0;
  // The reply: the buffered text first, then every byte of `data`
  // unbuffered and untranslated. False at the first failure, its code in
  // lastErrorCode(); `written` is the count that went out either way.
  virtual bool writeReply(const char* data, std::size_t size, std::size_t* written) = 0;
  // GetLastError() or errno of the last failed response call.
  virtual int lastErrorCode() = 0;
  // One line of the web server's error log, written with one call so that
  // concurrent runs sharing the log do not interleave.
  virtual void writeLog(const char* line, std::size_t size) = 0;

  // ---- end
  // Ends the request at once with `status` (the decoder's fatal path): what
  // was written stays written. A CGI process exits with it.
  [[noreturn]] virtual void end(int status) = 0;
};

// The request of a CGI process: the environment, standard input, standard
// output and error, and the exit status. One per process.
class CgiRequest final : public Request {
 public:
  const char* variable(const char* name) override;
  std::size_t readBody(char* buffer, std::size_t size) override;
  char* mapBody(std::size_t* size) override;
  void unmapBody(char* base, std::size_t size) override;
  void writeText(const char* data, std::size_t size) override;
  void setBinary() override;
  bool responseOpen() override;
  bool writeReply(const char* data, std::size_t size, std::size_t* written) override;
  int lastErrorCode() override { return lastError_; }
  void writeLog(const char* line, std::size_t size) override;
  [[noreturn]] void end(int status) override;

 private:
  int lastError_ = 0;
  bool bodyStarted_ = false;
};

// Formats with printf's rules and writes the text with writeText(). A text
// longer than kWriteFormatMax is cut there.
inline constexpr std::size_t kWriteFormatMax = 2047;
void writeFormat(Request& request, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kavro::platform
