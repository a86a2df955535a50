#include "testdll.h"

#include <winternl.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace testdll {

namespace {

constexpr wchar_t kPipeDirectory[] = L"\\Device\\NamedPipe\\";
constexpr OBJECT_INFORMATION_CLASS kObjectNameInformation = static_cast<OBJECT_INFORMATION_CLASS>(1);
// Under QEMU a busy host can take its time; the wait stays bounded.
constexpr int kAskAttempts = 200;
constexpr DWORD kAskPauseMs = 50;

// "\Device\NamedPipe\talo-sim-usb-12" -> 12
bool NumberAfterPrefix(const wchar_t* name, size_t length, uint32_t* device) {
  const size_t directory = wcslen(kPipeDirectory);
  const size_t prefix = std::strlen(wire::kDevicePipePrefix);
  if (length <= directory + prefix || _wcsnicmp(name, kPipeDirectory, directory) != 0) return false;
  for (size_t i = 0; i < prefix; ++i) {
    if (name[directory + i] != static_cast<wchar_t>(wire::kDevicePipePrefix[i])) return false;
  }
  uint32_t number = 0;
  for (size_t i = directory + prefix; i < length; ++i) {
    if (name[i] < L'0' || name[i] > L'9') return false;
    number = number * 10 + static_cast<uint32_t>(name[i] - L'0');
  }
  *device = number;
  return true;
}

}  // namespace

bool DeviceOf(HANDLE file, uint32_t* device) {
  alignas(8) unsigned char buffer[1024];
  ULONG length = 0;
  if (file != nullptr && file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_PIPE &&
      NtQueryObject(file, kObjectNameInformation, buffer, sizeof buffer, &length) == 0) {
    const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
    if (NumberAfterPrefix(name->Buffer, name->Length / sizeof(wchar_t), device)) return true;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

bool Ask(const wire::Request& request, uint32_t requestSize, void* answer, uint32_t answerSize) {
  for (int attempt = 0; attempt < kAskAttempts; ++attempt) {
    DWORD got = 0;
    if (CallNamedPipeA(wire::kQueryPipe, const_cast<wire::Request*>(&request), requestSize, answer,
                       answerSize, &got, 5000)) {
      if (got == answerSize) return true;
      SetLastError(ERROR_INVALID_DATA);
      return false;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY && error != ERROR_SEM_TIMEOUT) return false;
    Sleep(kAskPauseMs);
  }
  return false;
}

bool Describe(HANDLE file, uint32_t* device, wire::Description* description) {
  if (!DeviceOf(file, device)) return false;
  wire::Request request{};
  request.op = wire::kDescribe;
  request.device = *device;
  if (!Ask(request, wire::kRequestHead, description, sizeof *description)) return false;
  if (description->error == 0) return true;
  SetLastError(description->error);
  return false;
}

void Log(const char* format, ...) {
  const DWORD error = GetLastError();
  char line[512];
  int n = std::snprintf(line, sizeof line, "[%lu] ", GetCurrentProcessId());
  va_list arguments;
  va_start(arguments, format);
  n += std::vsnprintf(line + n, sizeof line - n - 1, format, arguments);
  va_end(arguments);
  if (n > static_cast<int>(sizeof line) - 2) n = sizeof line - 2;
  line[n++] = '\n';
  char path[MAX_PATH];
  std::snprintf(path, sizeof path, "%s\\calls.log", wire::kFolder);
  // Appends only: one write per line keeps the lines of threads and
  // processes whole.
  HANDLE log = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(log, line, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(log);
  }
  SetLastError(error);
}

BOOL Unexpected(const char* name) {
  Log("%s unexpected", name);
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

void CopyString(const uint16_t* text, void* buffer, ULONG bytes) {
  auto* out = static_cast<uint16_t*>(buffer);
  const ULONG room = bytes / 2;
  ULONG i = 0;
  for (; i < room && text[i] != 0; ++i) out[i] = text[i];
  if (i < room) out[i] = 0;
}

}  // namespace testdll
