/* The least a host can do over Ethernet: finds the one controller by the
 * same broadcast pendrel sends (replies are collected until 500 ms pass
 * without one, as pendrel must to see a second controller), connects to
 * where the reply came from, takes the greeting, then sends the frames of a
 * recorded run one after another, each as soon as the previous reply is
 * in, and closes. No file, no checks, no output but one line. scripts/bench
 * runs it in the same network namespaces as pendrel -eth, so that the gap
 * between the two is what pendrel itself adds.
 *
 *   pendrel-eth-replay SCRIPT
 *
 * SCRIPT is pendrel-replay's (bench/replay.c): u32 frame length, u32 reply
 * length, u32 line rate (not used here), then the frame as it goes on the
 * wire. Prints "REPLAY wall_s=W commands=N" on success. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

enum { kDiscoveryPort = 3005, kQuietMs = 500, kReplyMs = 2000 };

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static int Fail(const char* what) {
  fprintf(stderr, "pendrel-eth-replay: %s\n", what);
  return 0;
}

/* The one free controller's address, or 0. */
static int Discover(struct sockaddr_in* device) {
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  int one = 1;
  if (udp < 0 || setsockopt(udp, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) return Fail("udp socket");
  struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons(kDiscoveryPort)};
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  if (sendto(udp, "zarn", 4, 0, (struct sockaddr*)&to, sizeof to) != 4) return Fail("broadcast");
  int found = 0, inUse = 0;
  for (;;) {
    struct pollfd p = {udp, POLLIN, 0};
    if (poll(&p, 1, kQuietMs) != 1) break;
    uint8_t reply[256];
    struct sockaddr_in from;
    socklen_t length = sizeof from;
    ssize_t n = recvfrom(udp, reply, sizeof reply, 0, (struct sockaddr*)&from, &length);
    if (n <= 0) break;
    if ((n != 46 && n != 54) || memcmp(reply, "zarn", 4) != 0) continue;
    ++found;
    *device = from;
    inUse = n == 54 && (reply[50] | reply[51] | reply[52] | reply[53]);
  }
  close(udp);
  if (found != 1 || inUse) return Fail("not exactly one free controller");
  return 1;
}

/* A plain blocking recv, bounded by the socket's receive time-out. */
static int ReceiveExactly(int fd, uint8_t* buffer, uint32_t count) {
  for (uint32_t got = 0; got < count;) {
    ssize_t n = recv(fd, buffer + got, count - got, 0);
    if (n <= 0) return 0;
    got += (uint32_t)n;
  }
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: pendrel-eth-replay SCRIPT\n");
    return 2;
  }
  FILE* script = fopen(argv[1], "rb");
  if (!script) return Fail("cannot open the script"), 2;
  double began = Now();
  struct sockaddr_in device;
  if (!Discover(&device)) return 1;
  int tcp = socket(AF_INET, SOCK_STREAM, 0);
  struct timeval limit = {kReplyMs / 1000, 0};
  if (tcp < 0 || setsockopt(tcp, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
      connect(tcp, (struct sockaddr*)&device, sizeof device) != 0)
    return Fail("connect"), 1;
  uint8_t greeting[2];
  if (!ReceiveExactly(tcp, greeting, 2) || greeting[0] != 0x23 || greeting[1] != 0x06)
    return Fail("no greeting"), 1;

  static uint8_t frame[8192], reply[512];
  uint32_t head[3];
  unsigned commands = 0;
  while (fread(head, sizeof head, 1, script) == 1) {
    if (head[0] > sizeof frame || head[1] > sizeof reply || fread(frame, 1, head[0], script) != head[0])
      return Fail("bad script record"), 2;
    if (send(tcp, frame, head[0], MSG_NOSIGNAL) != (ssize_t)head[0]) return Fail("send"), 1;
    if (!ReceiveExactly(tcp, reply, head[1])) {
      fprintf(stderr, "pendrel-eth-replay: no reply to command %u\n", commands);
      return 1;
    }
    ++commands;
  }
  close(tcp);
  printf("REPLAY wall_s=%.6f commands=%u\n", Now() - began, commands);
  return 0;
}
