// The attached system texts as Windows gives them: GetLastError or
// WSAGetLastError, and FormatMessageA's text without its closing line end
// (stdout in text mode would turn it into "\r\r\n" and an empty line).
#include <winsock.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/status.h"

namespace {

std::string SystemText(DWORD error) {
  char* text = nullptr;
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      error, 0x0400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string out = n ? std::string(text, n) : std::string();
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  return out;
}

}  // namespace

TEST(StatusSystemText, SystemBitAttachesTheErrorText) {
  const std::string expected = "Open error\n" + SystemText(ERROR_FILE_NOT_FOUND);
  SetLastError(ERROR_FILE_NOT_FOUND);
  SetLastStatus(0x4107);
  EXPECT_EQ(std::string(LastStatusText()), expected);
  EXPECT_GT(expected.size(), std::string("Open error\n").size());
  EXPECT_EQ(LastSystemError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST(StatusSystemText, SocketBitAttachesTextButReportsNoSystemError) {
  const std::string expected = "Failed to connect to device\n" + SystemText(WSAECONNREFUSED);
  WSASetLastError(WSAECONNREFUSED);
  SetLastStatus(0x240C);
  EXPECT_EQ(std::string(LastStatusText()), expected);
  EXPECT_EQ(LastSystemError(), 0u);
}
