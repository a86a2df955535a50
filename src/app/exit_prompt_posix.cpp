// The controlling terminal in raw mode, one byte. Without a controlling
// terminal (a service, setsid, CI) the open fails and the wait ends at once.
#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "app/exit_prompt.h"

void WaitForKeyPress() {
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  struct termios saved;
  if (tcgetattr(fd, &saved) != 0) {
    close(fd);
    return;
  }
  struct termios raw = saved;
  raw.c_iflag = 0;
  raw.c_oflag = 0;
  raw.c_lflag = 0;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &raw) == 0) {
    unsigned char key;
    while (read(fd, &key, 1) < 0 && errno == EINTR) {
    }
    // A key such as an arrow sends several bytes; the rest must not reach
    // the shell after we are gone.
    tcflush(fd, TCIFLUSH);
    tcsetattr(fd, TCSANOW, &saved);
  }
  close(fd);
}
