// KAVRO3 gateway: a CGI program that relays one HTTP request to an Engine Server.
#include "gateway/driver.h"

int main() { return kavro::runGateway(); }
