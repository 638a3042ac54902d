/* A FastCGI application for the cgi-fcgi bridge of the benchmarks: it
 * answers every request with the same bytes as the hello CGI, one request
 * at a time, on a TCP socket of its own.
 *
 *   bench-fcgi-hello [PORT]   listens on 127.0.0.1:PORT (default 0: any
 *                             free port) and prints "listening on 127.0.0.1:PORT"
 */
#include <arpa/inet.h>
#include <fcgiapp.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

int main(int argc, char** argv) {
  static const char response[] = "Content-Type: text/plain\r\n\r\nhello\n";
  /* The kit's own FCGX_OpenSocket takes "HOST:0" for a Unix socket path. */
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  struct sockaddr_in address = {.sin_family = AF_INET,
                                .sin_port = htons((unsigned short)(argc > 1 ? atoi(argv[1]) : 0))};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
      listen(listener, 512) != 0 || getsockname(listener, (struct sockaddr*)&address, &length) != 0 ||
      FCGX_Init() != 0) {
    perror("bench-fcgi-hello");
    return 1;
  }
  printf("listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
  fflush(stdout);
  FCGX_Request request;
  FCGX_InitRequest(&request, listener, 0);
  while (FCGX_Accept_r(&request) >= 0) {
    FCGX_PutStr(response, sizeof response - 1, request.out);
    FCGX_Finish_r(&request);
  }
  return 0;
}
