// termios (through the termios2 ioctls, so that any positive rate can be set)
// and poll standing in for DCB and COMMTIMEOUTS.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "link/serial/serial_port.h"

namespace {

SerialTimeouts gTimeouts{100, 1, 500, 1, 100};

int Fd(SerialHandle handle) { return static_cast<int>(handle); }

struct StandardRate {
  int32_t rate;
  unsigned int code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

unsigned int RateCode(int32_t rate) {
  for (const StandardRate& r : kStandardRates)
    if (r.rate == rate) return r.code;
  return BOTHER;
}

SerialHandle Open(const char* path) {
  int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kInvalidSerialHandle;
  // Exclusive, as the Windows port is opened without sharing; a pseudo-
  // terminal or a driver that does not know TIOCEXCL is still usable.
  ioctl(fd, TIOCEXCL);
  return fd;
}

bool IsCharacterDevice(SerialHandle handle) {
  struct stat st;
  return fstat(Fd(handle), &st) == 0 && S_ISCHR(st.st_mode);
}

SerialConfigResult Configure(SerialHandle handle, int32_t baudRate, bool noCts) {
  struct termios2 tio;
  if (ioctl(Fd(handle), TCGETS2, &tio) != 0) return SerialConfigResult::GetStateFailed;
  if (baudRate <= 0) {
    errno = EINVAL;
    return SerialConfigResult::SetStateFailed;
  }
  // Raw binary: no canonical input, echo, signals, CR/NL translation,
  // parity checks or software flow control.
  tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK |
                   IUCLC | IMAXBEL);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CBAUD | (CBAUD << IBSHIFT) | CRTSCTS);
  tio.c_cflag |= CS8 | CSTOPB | CREAD | CLOCAL | HUPCL;
  if (!noCts) tio.c_cflag |= CRTSCTS;
  unsigned int code = RateCode(baudRate);
  tio.c_cflag |= code;
  tio.c_ispeed = static_cast<speed_t>(baudRate);
  tio.c_ospeed = static_cast<speed_t>(baudRate);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (ioctl(Fd(handle), TCSETS2, &tio) != 0) return SerialConfigResult::SetStateFailed;
  // A pseudo-terminal refuses the modem-line ioctls; DTR and RTS simply
  // have no wire there, so that is no failure.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(Fd(handle), TIOCMBIS, &lines);
  return SerialConfigResult::Ok;
}

void SetupQueues(SerialHandle, uint32_t, uint32_t) {}

bool SetTimeouts(SerialHandle, const SerialTimeouts& timeouts) {
  gTimeouts = timeouts;
  return true;
}

bool Close(SerialHandle handle) { return ::close(Fd(handle)) == 0; }

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool Write(SerialHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  *written = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(uint64_t{gTimeouts.writeMultiplier} * count +
                                                                 gTimeouts.writeConstant);
  while (*written < count) {
    ssize_t n = ::write(Fd(handle), bytes + *written, count - *written);
    if (n > 0) {
      *written += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    int left = RemainingMs(deadline);
    if (left == 0) break;
    struct pollfd p {
      Fd(handle), POLLOUT, 0
    };
    if (poll(&p, 1, left) < 0 && errno != EINTR) return false;
  }
  return true;
}

bool Read(SerialHandle handle, uint8_t* bytes, uint32_t count, uint32_t* got) {
  *got = 0;
  // The total time-out bounds the whole read; the interval time-out ends
  // it early once bytes stop coming.
  const auto deadline = Clock::now() + std::chrono::milliseconds(uint64_t{gTimeouts.readMultiplier} * count +
                                                                 gTimeouts.readConstant);
  while (*got < count) {
    int left = RemainingMs(deadline);
    if (*got > 0 && gTimeouts.readInterval != 0 && static_cast<uint32_t>(left) > gTimeouts.readInterval)
      left = static_cast<int>(gTimeouts.readInterval);
    struct pollfd p {
      Fd(handle), POLLIN, 0
    };
    int r = poll(&p, 1, left);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) break;
    ssize_t n = ::read(Fd(handle), bytes + *got, count - *got);
    if (n > 0) {
      *got += static_cast<uint32_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EAGAIN && errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool OutputPending(SerialHandle handle, uint32_t* bytes) {
  int queued = 0;
  if (ioctl(Fd(handle), TIOCOUTQ, &queued) != 0 || queued < 0) return false;
  *bytes = static_cast<uint32_t>(queued);
  return true;
}

void DiscardOutput(SerialHandle handle) { ioctl(Fd(handle), TCFLSH, TCOFLUSH); }

}  // namespace

const SerialPortApi kSystemSerialPort = {
    .devicePath = SerialPathPosix,
    .open = Open,
    .isCharacterDevice = IsCharacterDevice,
    .configure = Configure,
    .setupQueues = SetupQueues,
    .setTimeouts = SetTimeouts,
    .close = Close,
    .write = Write,
    .read = Read,
    .outputPending = OutputPending,
    .discardOutput = DiscardOutput,
};
