#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "serial_pty.h"

PtyPair::~PtyPair() { PtyClose(*this); }

void PtyClose(PtyPair& pty) {
  if (pty.master >= 0) close(pty.master);
  if (pty.slave >= 0) close(pty.slave);
  pty.master = pty.slave = -1;
}

bool PtyOpen(PtyPair& pty) {
  char name[256] = {};
  if (openpty(&pty.master, &pty.slave, name, nullptr, nullptr) != 0) {
    std::printf("talo-sim: openpty failed: %s\n", std::strerror(errno));
    return false;
  }
  pty.slavePath = name;
  termios raw{};
  if (tcgetattr(pty.slave, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(pty.slave, TCSANOW, &raw);
  }
  int flags = fcntl(pty.master, F_GETFL);
  if (flags < 0 || fcntl(pty.master, F_SETFL, flags | O_NONBLOCK) != 0) {
    std::printf("talo-sim: cannot make the pty master non-blocking: %s\n", std::strerror(errno));
    return false;
  }
  fcntl(pty.master, F_SETFD, FD_CLOEXEC);
  fcntl(pty.slave, F_SETFD, FD_CLOEXEC);
  return true;
}

int PtyPendingToHost(const PtyPair& pty) {
  int pending = 0;
  if (pty.slave < 0 || ioctl(pty.slave, FIONREAD, &pending) != 0) return -1;
  return pending;
}
