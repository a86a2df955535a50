// termios2 lives in <asm/termbits.h>, whose struct termios clashes with the
// C library's: this file includes nothing else of the terminal kind.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <iterator>

#include "serial_pty.h"

namespace {

struct RateCode {
  unsigned code;
  uint32_t rate;
};
constexpr RateCode kRates[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

struct SizeCode {
  unsigned code;
  uint8_t bits;
};
constexpr SizeCode kSizes[] = {{CS5, 5}, {CS6, 6}, {CS7, 7}, {CS8, 8}};

}  // namespace

bool PtyReadLineSettings(int fd, sim::SimLineSettings& settings) {
  struct termios2 line {};
  if (ioctl(fd, TCGETS2, &line) != 0) return false;
  unsigned baud = line.c_cflag & CBAUD;
  settings.rate = 0;
  if (baud == BOTHER) {
    settings.rate = line.c_ospeed;
  } else {
    for (const RateCode& r : kRates)
      if (r.code == baud) settings.rate = r.rate;
  }
  for (const SizeCode& s : kSizes)
    if (s.code == (line.c_cflag & CSIZE)) settings.dataBits = s.bits;
  settings.parity = (line.c_cflag & PARENB) != 0;
  settings.stopBits = (line.c_cflag & CSTOPB) ? 2 : 1;
  return true;
}
