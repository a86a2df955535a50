#include "base/syserror.h"

#include <winsock.h>
#include <windows.h>

#include <cstring>

uint32_t CaptureSystemError() { return GetLastError(); }
uint32_t CaptureSocketError() { return static_cast<uint32_t>(WSAGetLastError()); }

size_t SystemErrorText(uint32_t error, char* out, size_t capacity) {
  if (capacity == 0) return 0;
  out[0] = '\0';
  char* text = nullptr;
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      error, 0x0400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  if (n == 0 || text == nullptr) return 0;
  // The system's texts end in "\r\n"; the caller adds its own line breaks.
  size_t len = n;
  while (len > 0 && (text[len - 1] == '\r' || text[len - 1] == '\n' || text[len - 1] == ' ')) --len;
  if (len > capacity - 1) len = capacity - 1;
  std::memcpy(out, text, len);
  out[len] = '\0';
  LocalFree(text);
  return len;
}
