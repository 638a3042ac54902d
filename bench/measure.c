/* Runs a program RUNS times and prints, one line per run, its wall time in
 * microseconds, its peak resident memory in KiB and its exit status.
 *
 *   bench-measure [-n RUNS] [-i FILE | -p FILE] [-o FILE] [-s] -- PROGRAM [ARG...]
 *
 *   -i FILE  standard input is FILE itself (a regular file the program may map)
 *   -p FILE  standard input is a pipe, fed from FILE by a child of ours
 *   -o FILE  standard output goes to FILE, truncated before each run
 *            (default /dev/null)
 *   -s       sync(2) before each run, outside the timing: one run's
 *            writeback must not land in the next run's time
 *
 * The program gets our environment as it is. The time runs from just before
 * the program is started until it and the feeder (with -p) have ended; the
 * peak memory is the program's own (not the feeder's). A run that ends other
 * than by exit 0 is still printed, and makes our exit status 1.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kFeedBlock = 1 << 20 };

static void die(const char* what) {
  fprintf(stderr, "bench-measure: %s: %s\n", what, strerror(errno));
  exit(2);
}

static long long nowUs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

/* The feeder: copies FILE into the pipe's write end, like `cat FILE |`. */
static pid_t startFeeder(const char* path, int writeEnd, int readEnd) {
  pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid > 0) return pid;
  signal(SIGPIPE, SIG_IGN); /* a program that stops reading is an EPIPE */
  close(readEnd);
  int in = open(path, O_RDONLY);
  if (in < 0) _exit(3);
  static char block[kFeedBlock];
  for (;;) {
    ssize_t got = read(in, block, sizeof block);
    if (got == 0) _exit(0);
    if (got < 0) {
      if (errno == EINTR) continue;
      _exit(3);
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(writeEnd, block + done, (size_t)(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        _exit(errno == EPIPE ? 0 : 3); /* the program may stop reading early */
      }
      done += put;
    }
  }
}

int main(int argc, char** argv) {
  int runs = 1, doSync = 0;
  const char *inFile = NULL, *pipeFile = NULL, *outFile = "/dev/null";
  int opt;
  while ((opt = getopt(argc, argv, "+n:i:p:o:s")) != -1) {
    switch (opt) {
      case 'n': runs = atoi(optarg); break;
      case 'i': inFile = optarg; break;
      case 'p': pipeFile = optarg; break;
      case 'o': outFile = optarg; break;
      case 's': doSync = 1; break;
      default: goto usage;
    }
  }
  if (optind >= argc || runs < 1 || (inFile && pipeFile)) goto usage;
  char** program = argv + optind;

  int failed = 0;
  for (int run = 0; run < runs; ++run) {
    if (doSync) sync();
    int out = open(outFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) die(outFile);
    int in = -1, fds[2] = {-1, -1};
    if (inFile) {
      in = open(inFile, O_RDONLY);
      if (in < 0) die(inFile);
    }
    long long start = nowUs();
    pid_t feeder = -1;
    if (pipeFile) {
      if (pipe(fds) != 0) die("pipe");
      feeder = startFeeder(pipeFile, fds[1], fds[0]);
      close(fds[1]);
      in = fds[0];
    }
    pid_t child = fork();
    if (child < 0) die("fork");
    if (child == 0) {
      if (in >= 0 && dup2(in, 0) < 0) _exit(127);
      if (dup2(out, 1) < 0) _exit(127);
      execvp(program[0], program);
      fprintf(stderr, "bench-measure: %s: %s\n", program[0], strerror(errno));
      _exit(127);
    }
    if (in >= 0) close(in);
    close(out);
    int status = 0;
    struct rusage usage;
    while (wait4(child, &status, 0, &usage) < 0)
      if (errno != EINTR) die("wait4");
    if (feeder > 0) {
      int feederStatus = 0;
      while (waitpid(feeder, &feederStatus, 0) < 0)
        if (errno != EINTR) die("waitpid");
      if (!WIFEXITED(feederStatus) || WEXITSTATUS(feederStatus) != 0) failed = 1;
    }
    long long wall = nowUs() - start;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (code != 0) failed = 1;
    printf("%lld %ld %d\n", wall, usage.ru_maxrss, code);
  }
  return failed;

usage:
  fprintf(stderr, "usage: bench-measure [-n RUNS] [-i FILE | -p FILE] [-o FILE] [-s] -- PROGRAM [ARG...]\n");
  return 2;
}
