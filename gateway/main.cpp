// KAVRO3 gateway: a CGI program that relays one HTTP request to an Engine Server.
#include "gateway/driver.h"
#include "platform/platform.h"
#include "platform/request.h"

int main() {
  kavro::platform::processInit();
  kavro::platform::CgiRequest request;
  return kavro::runGateway(request);
}
