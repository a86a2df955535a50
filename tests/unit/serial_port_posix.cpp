// The termios layer on a real pseudo-terminal pair: the slave is what the
// programmer opens, the master shows what the port really got.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "base/status.h"
#include "link/serial/serial_link.h"

extern "C" int openpty(int*, int*, char*, const void*, const void*);

namespace {

class PtySerial : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    path_ = name;
  }
  void TearDown() override {
    SerialClose();
    close(slave_);
    close(master_);
  }
  struct termios2 MasterSettings() {
    struct termios2 t {};
    EXPECT_EQ(ioctl(master_, TCGETS2, &t), 0);
    return t;
  }
  int master_ = -1, slave_ = -1;
  std::string path_;
};

}  // namespace

TEST_F(PtySerial, LineSettingsReachThePort) {
  ASSERT_EQ(SerialOpen(path_, 115200, false), 1) << LastStatusText();
  struct termios2 t = MasterSettings();
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL));
  EXPECT_FALSE(t.c_oflag & OPOST);

  // A rate change keeps the format; -nocts drops the CTS flow control.
  ASSERT_EQ(SerialConfigure(460800, true), 1);
  t = MasterSettings();
  EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B460800));
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_cflag & CSTOPB);

  // Any positive rate, not only the standard ones.
  ASSERT_EQ(SerialConfigure(250000, false), 1);
  t = MasterSettings();
  EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
  EXPECT_EQ(t.c_ospeed, 250000u);

  EXPECT_EQ(SerialConfigure(-9600, false), 0);
  EXPECT_EQ(LastStatusCode(), 0x4105);
}

TEST_F(PtySerial, BytesGoBothWays) {
  ASSERT_EQ(SerialOpen(path_, 115200, true), 1);
  const uint8_t frame[] = {0xAA, 0x3F, 0x49, 0x0A, 0x0D};
  ASSERT_EQ(SerialSend(frame, sizeof frame), 1);
  uint8_t got[8] = {};
  ASSERT_EQ(read(master_, got, sizeof got), 5);  // raw: no CR/NL translation
  EXPECT_EQ(0, memcmp(got, frame, 5));
  const uint8_t reply[] = {0x06, 0x0D};
  ASSERT_EQ(write(master_, reply, 2), 2);
  uint8_t b = 0;
  ASSERT_EQ(SerialReceiveByte(&b), 1);
  EXPECT_EQ(b, 0x06);
  ASSERT_EQ(SerialReceiveByte(&b), 1);
  EXPECT_EQ(b, 0x0D);
}

TEST_F(PtySerial, ReceiveTimesOutNotBeforeItsTime) {
  ASSERT_EQ(SerialOpen(path_, 115200, false), 1);
  ASSERT_EQ(SerialSetTimeouts(150, 100), 1);
  uint8_t b = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SerialReceiveByte(&b), 0);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(LastStatusCode(), 0x112);
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
}

TEST_F(PtySerial, OpenFailuresCarryTheSystemText) {
  EXPECT_EQ(SerialOpen("/nonexistent/tty", 115200, false), 0);
  EXPECT_EQ(std::string(LastStatusText()), "Open error\nNo such file or directory");
  char file[] = "/tmp/pendrel-notatty-XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(SerialOpen(file, 115200, false), 0);
  EXPECT_EQ(LastStatusCode(), 0x108);
  unlink(file);
  // A failed open leaves the port closed: the real one opens now.
  EXPECT_EQ(SerialOpen(path_, 115200, false), 1);
}
