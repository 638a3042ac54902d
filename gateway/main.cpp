// KAVRO3 gateway: relays HTTP requests to an Engine Server. Started by a web
// server for each request, it is a CGI program; started with a listening
// socket as standard input, a FastCGI application that serves request after
// request, each one a run of the same driver.
#include "gateway/driver.h"
#include "platform/fastcgi.h"
#include "platform/platform.h"
#include "platform/request.h"

int main() {
  kavro::platform::processInit();
  if (kavro::platform::startedAsFastCgi()) return kavro::platform::serveFastCgi(kavro::runGateway);
  kavro::platform::CgiRequest request;
  return kavro::runGateway(request);
}
