// The attached system texts as POSIX gives them: errno and strerror.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/status.h"

TEST(StatusSystemText, SystemBitAttachesTheErrorText) {
  errno = ENOENT;
  SetLastStatus(0x4107);
  EXPECT_EQ(std::string(LastStatusText()), std::string("Open error\n") + std::strerror(ENOENT));
  EXPECT_EQ(LastSystemError(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(LastStatusCode(), 0x4107);
}

TEST(StatusSystemText, SocketBitAttachesTextButReportsNoSystemError) {
  errno = ECONNREFUSED;
  SetLastStatus(0x240C);
  EXPECT_EQ(std::string(LastStatusText()),
            std::string("Failed to connect to device\n") + std::strerror(ECONNREFUSED));
  EXPECT_EQ(LastSystemError(), 0u);
}
