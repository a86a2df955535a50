/* pendrel-spawn PROGRAM ARGS...: runs PROGRAM in a session of its own (no
 * controlling terminal, so pendrel's exit prompt returns at once) and prints
 * to stderr one line
 *   SPAWN exit=N wall=S user=S sys=S maxrss=KB
 * Written in C and spawned from here, not from Python: the peak RSS that
 * wait4 reports counts the process the child was forked from, and a Python
 * interpreter would hide pendrel's few megabytes. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double Seconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: pendrel-spawn PROGRAM ARGS...\n");
    return 2;
  }
  double began = Now();
  pid_t pid = fork();
  if (pid < 0) {
    perror("pendrel-spawn: fork");
    return 2;
  }
  if (pid == 0) {
    setsid();
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) {
    perror("pendrel-spawn: wait4");
    return 2;
  }
  double wall = Now() - began;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  fprintf(stderr, "SPAWN exit=%d wall=%.6f user=%.6f sys=%.6f maxrss=%ld\n", code, wall,
          Seconds(usage.ru_utime), Seconds(usage.ru_stime), usage.ru_maxrss);
  return 0;
}
