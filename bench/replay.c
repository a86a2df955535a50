/* The least a host can do over a pseudo-terminal: sends the frames of a
 * recorded run one after another, each as soon as the previous reply is in,
 * and changes its own line rate where the recorded run did. scripts/bench
 * runs it against the same paced simulator as pendrel, so that the gap
 * between the two is what pendrel itself adds.
 *
 *   pendrel-replay PORT SCRIPT
 *
 * SCRIPT is binary, one record a command: u32 frame length, u32 reply length,
 * u32 new line rate after the reply (0: none), then the frame as it goes on
 * the wire. Prints "REPLAY wall_s=W commands=N" on success. */
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static speed_t Speed(uint32_t rate) {
  switch (rate) {
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return 0;
  }
}

static int SetLine(int fd, uint32_t rate) {
  struct termios t;
  speed_t s = Speed(rate);
  if (!s || tcgetattr(fd, &t) != 0) return 0;
  cfmakeraw(&t);
  t.c_cflag |= CSTOPB | CLOCAL | CREAD;
  t.c_cflag &= ~CRTSCTS;
  cfsetispeed(&t, s);
  cfsetospeed(&t, s);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: pendrel-replay PORT SCRIPT\n");
    return 2;
  }
  FILE* script = fopen(argv[2], "rb");
  int fd = open(argv[1], O_RDWR | O_NOCTTY);
  if (!script || fd < 0 || !SetLine(fd, 115200)) {
    fprintf(stderr, "pendrel-replay: cannot open %s or %s\n", argv[1], argv[2]);
    return 2;
  }
  static uint8_t frame[8192], reply[512];
  uint32_t head[3];
  unsigned commands = 0;
  double began = Now();
  while (fread(head, sizeof head, 1, script) == 1) {
    if (head[0] > sizeof frame || head[1] > sizeof reply || fread(frame, 1, head[0], script) != head[0]) {
      fprintf(stderr, "pendrel-replay: bad script record %u\n", commands);
      return 2;
    }
    if (write(fd, frame, head[0]) != (ssize_t)head[0]) {
      perror("pendrel-replay: write");
      return 1;
    }
    for (uint32_t got = 0; got < head[1];) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 2000) != 1) {
        fprintf(stderr, "pendrel-replay: no reply to command %u\n", commands);
        return 1;
      }
      ssize_t n = read(fd, reply + got, head[1] - got);
      if (n <= 0) {
        perror("pendrel-replay: read");
        return 1;
      }
      got += (uint32_t)n;
    }
    if (head[2] && !SetLine(fd, head[2])) {
      fprintf(stderr, "pendrel-replay: cannot set rate %u\n", head[2]);
      return 1;
    }
    ++commands;
  }
  printf("REPLAY wall_s=%.6f commands=%u\n", Now() - began, commands);
  close(fd);
  return 0;
}
