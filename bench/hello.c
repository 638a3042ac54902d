/* The floor for any CGI program: a static C program that writes a fixed
 * response, the same bytes as the bench engine's small reply. */
#include <unistd.h>

int main(void) {
  static const char response[] = "Content-Type: text/plain\r\n\r\nhello\n";
  return write(1, response, sizeof response - 1) == (ssize_t)(sizeof response - 1) ? 0 : 1;
}
