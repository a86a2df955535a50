#include "base/syserror.h"

#include <cerrno>
#include <cstring>

uint32_t CaptureSystemError() { return static_cast<uint32_t>(errno); }
uint32_t CaptureSocketError() { return static_cast<uint32_t>(errno); }

size_t SystemErrorText(uint32_t error, char* out, size_t capacity) {
  if (capacity == 0) return 0;
  char buffer[256];
  // strerror_r is the GNU variant here: it may return a static string
  // instead of filling the buffer.
  const char* text = strerror_r(static_cast<int>(error), buffer, sizeof buffer);
  if (text == nullptr) text = "";
  size_t n = std::strlen(text);
  if (n > capacity - 1) n = capacity - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
  return n;
}
