// The gateway as a FastCGI application: one process that serves the requests
// of a web server one after the other. A web server (lighttpd's bin-path,
// Apache's mod_fcgid), spawn-fcgi and systemd's socket activation start such
// an application with a listening socket as its standard input; a CGI
// program gets a pipe, a file or nothing there.
#pragma once

#include "platform/request.h"

namespace kavro::platform {

// Whether standard input is a listening socket: one system call, the whole
// price a CGI run pays for the other mode.
bool startedAsFastCgi();

// Accepts the requests that arrive on standard input, one at a time, and
// serves each with `serve`; the status it returns, or the one the request's
// end() gives, is the request's application status. Returns the process's
// exit status once no request can be accepted any more.
using ServeRequest = int (*)(Request& request);
int serveFastCgi(ServeRequest serve);

}  // namespace kavro::platform
