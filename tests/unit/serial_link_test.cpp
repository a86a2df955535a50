// The serial link's own rules, through a fake port table that counts calls.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base/status.h"
#include "link/serial/serial_link.h"
#include "link/serial/serial_port.h"

namespace {

struct FakePort {
  int opens = 0, closes = 0, configures = 0, timeoutCalls = 0;
  bool charDevice = true;
  SerialConfigResult configResult = SerialConfigResult::Ok;
  SerialTimeouts lastTimeouts{};
  int32_t lastRate = 0;
  bool lastNoCts = false;
  std::string lastPath;
  uint32_t writeLimit = UINT32_MAX;
  // The system's output queue: what was written and is not on the line yet.
  uint32_t queued = 0;
  uint32_t drainPerCheck = UINT32_MAX;  // 0: CTS holds the line
  bool queueKnown = true;
  std::string calls;  // D: output discarded, C: closed
};
FakePort gFake;

const SerialPortApi kFakeApi = {
    .devicePath = SerialPathWindows,
    .open = [](const char* path) -> SerialHandle {
      ++gFake.opens;
      gFake.lastPath = path;
      return 7;
    },
    .isCharacterDevice = [](SerialHandle) { return gFake.charDevice; },
    .configure =
        [](SerialHandle, int32_t rate, bool noCts) {
          ++gFake.configures;
          gFake.lastRate = rate;
          gFake.lastNoCts = noCts;
          return gFake.configResult;
        },
    .setupQueues = [](SerialHandle, uint32_t, uint32_t) {},
    .setTimeouts =
        [](SerialHandle, const SerialTimeouts& t) {
          ++gFake.timeoutCalls;
          gFake.lastTimeouts = t;
          return true;
        },
    .close =
        [](SerialHandle) {
          ++gFake.closes;
          gFake.calls += 'C';
          return true;
        },
    .write =
        [](SerialHandle, const uint8_t*, uint32_t count, uint32_t* written) {
          *written = count < gFake.writeLimit ? count : gFake.writeLimit;
          gFake.queued += *written;
          return true;
        },
    .read =
        [](SerialHandle, uint8_t*, uint32_t, uint32_t* got) {
          *got = 0;
          return true;
        },
    .outputPending =
        [](SerialHandle, uint32_t* bytes) {
          gFake.queued -= gFake.queued < gFake.drainPerCheck ? gFake.queued : gFake.drainPerCheck;
          *bytes = gFake.queued;
          return gFake.queueKnown;
        },
    .discardOutput =
        [](SerialHandle) {
          gFake.queued = 0;
          gFake.calls += 'D';
        },
};

class SerialLink : public ::testing::Test {
 protected:
  void SetUp() override {
    gFake = FakePort{};
    InstallSerialPortApi(&kFakeApi);
  }
  void TearDown() override {
    SerialClose();
    InstallSerialPortApi(nullptr);
  }
};

}  // namespace

TEST(SerialPortNames, WindowsRules) {
  std::string path;
  for (const char* name : {"COM3", "com3", "Com3", "com3:"}) {
    ASSERT_TRUE(SerialPathWindows(name, path)) << name;
    EXPECT_EQ(path, "\\\\.\\com3");
  }
  ASSERT_TRUE(SerialPathWindows("COM12", path));
  EXPECT_EQ(path, "\\\\.\\com12");
  EXPECT_FALSE(SerialPathWindows("", path));
  EXPECT_FALSE(SerialPathWindows("ttyS0", path));
  EXPECT_FALSE(SerialPathWindows("/dev/ttyS0", path));
  // Cut to 100 characters before the checks, and the path to 100 after.
  std::string longName = "com" + std::string(200, '1');
  ASSERT_TRUE(SerialPathWindows(longName, path));
  EXPECT_EQ(path.size(), 100u);
  EXPECT_EQ(path.substr(0, 7), "\\\\.\\com");
}

TEST(SerialPortNames, PosixRules) {
  std::string path;
  ASSERT_TRUE(SerialPathPosix("/dev/ttyUSB0", path));
  EXPECT_EQ(path, "/dev/ttyUSB0");
  ASSERT_TRUE(SerialPathPosix("COM1", path));
  EXPECT_EQ(path, "/dev/ttyS0");
  ASSERT_TRUE(SerialPathPosix("com12:", path));
  EXPECT_EQ(path, "/dev/ttyS11");
  for (const char* bad : {"", "com", "com0", "comx", "com1x", "ttyS0", "dev/ttyS0", "com1::"})
    EXPECT_FALSE(SerialPathPosix(bad, path)) << bad;
}

TEST_F(SerialLink, BadNameFailsBeforeAnySystemCall) {
  EXPECT_EQ(SerialOpen("ttyS0", 115200, false), 0);
  EXPECT_EQ(LastStatusCode(), 0x113);
  EXPECT_EQ(SerialOpen("", 115200, false), 0);
  EXPECT_EQ(LastStatusCode(), 0x113);
  EXPECT_EQ(gFake.opens, 0);
}

TEST_F(SerialLink, OpenConfiguresAndAppliesStandingTimeouts) {
  ASSERT_EQ(SerialOpen("COM3", 57600, true), 1);
  EXPECT_EQ(gFake.lastPath, "\\\\.\\com3");
  EXPECT_EQ(gFake.lastRate, 57600);
  EXPECT_TRUE(gFake.lastNoCts);
  EXPECT_EQ(gFake.timeoutCalls, 1);
  EXPECT_EQ(gFake.lastTimeouts.readInterval, 100u);
  EXPECT_EQ(gFake.lastTimeouts.readMultiplier, 1u);
  EXPECT_EQ(gFake.lastTimeouts.readConstant, 500u);
  EXPECT_EQ(gFake.lastTimeouts.writeMultiplier, 1u);
  EXPECT_EQ(gFake.lastTimeouts.writeConstant, 100u);
  // Open while open leaves the port alone.
  EXPECT_EQ(SerialOpen("COM4", 9600, false), 0);
  EXPECT_EQ(LastStatusCode(), 0x106);
  EXPECT_EQ(gFake.opens, 1);
}

TEST_F(SerialLink, TimeoutCacheSkipsRepeatsAndCloseClearsIt) {
  ASSERT_EQ(SerialOpen("COM1", 115200, false), 1);
  SerialSetTimeouts(100, 100);
  SerialSetTimeouts(100, 100);
  EXPECT_EQ(gFake.timeoutCalls, 2);  // the open's (500, 100), then one
  // A reconfiguration leaves the cache alone: (500, 100) is skipped once in force.
  SerialSetTimeouts(500, 100);
  ASSERT_EQ(SerialConfigure(460800, false), 1);
  EXPECT_EQ(gFake.timeoutCalls, 3);
  ASSERT_EQ(SerialClose(), 1);
  EXPECT_EQ(SerialClose(), 0);
  EXPECT_EQ(LastStatusCode(), 0x109);
  ASSERT_EQ(SerialOpen("COM1", 115200, false), 1);
  EXPECT_EQ(gFake.timeoutCalls, 4);  // applied again after a new open
}

TEST_F(SerialLink, ClosedPortStatuses) {
  uint8_t b = 0;
  EXPECT_EQ(SerialSend(&b, 1), 0);
  EXPECT_EQ(LastStatusCode(), 0x10B);
  EXPECT_EQ(SerialReceiveByte(&b), 0);
  EXPECT_EQ(LastStatusCode(), 0x10F);
  EXPECT_EQ(SerialSetTimeouts(1, 1), 0);
  EXPECT_EQ(LastStatusCode(), 0x102);
  EXPECT_EQ(SerialConfigure(9600, false), 0);
  EXPECT_EQ(LastStatusCode(), 0x104);
}

TEST_F(SerialLink, ShortWriteAndSilentRead) {
  ASSERT_EQ(SerialOpen("COM1", 115200, false), 1);
  uint8_t frame[4] = {0xAA, 0x27, 0, 0};
  gFake.writeLimit = 3;
  EXPECT_EQ(SerialSend(frame, 4), 0);
  EXPECT_EQ(LastStatusCode(), 0x10D);
  EXPECT_EQ(SerialSend(frame, 3), 1);
  uint8_t b = 0;
  EXPECT_EQ(SerialReceiveByte(&b), 0);
  EXPECT_EQ(LastStatusCode(), 0x112);
}

TEST_F(SerialLink, SendEndsWithinItsTimeoutWhenTheLineHoldsTheBytes) {
  ASSERT_EQ(SerialOpen("COM1", 115200, false), 1);
  ASSERT_EQ(SerialSetTimeouts(500, 40), 1);
  uint8_t frame[60] = {0xAA, 0x27};
  // CTS never rises (a cable without the line): the bytes sit in the queue.
  // The send fails as a Windows write does after 60 + 40 ms.
  gFake.drainPerCheck = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SerialSend(frame, sizeof frame), 0);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(LastStatusCode(), 0x10D);
  EXPECT_STREQ(LastStatusText(), "Transmit error: Could not send data");
  EXPECT_GE(waited, std::chrono::milliseconds(100));
  EXPECT_LT(waited, std::chrono::seconds(5));
  // What is still queued is dropped before the close, which would wait for it.
  EXPECT_EQ(SerialClose(), 1);
  EXPECT_EQ(gFake.calls, "DC");

  // A line that drains: the send succeeds once the queue is empty.
  ASSERT_EQ(SerialOpen("COM1", 115200, false), 1);
  gFake.drainPerCheck = 16;
  EXPECT_EQ(SerialSend(frame, sizeof frame), 1);
  EXPECT_EQ(gFake.queued, 0u);
  // A driver that cannot tell its queue: the write alone decides.
  gFake.drainPerCheck = 0;
  gFake.queueKnown = false;
  EXPECT_EQ(SerialSend(frame, sizeof frame), 1);
}

TEST_F(SerialLink, NotACharacterDeviceIsClosedAgain) {
  gFake.charDevice = false;
  EXPECT_EQ(SerialOpen("COM1", 115200, false), 0);
  EXPECT_EQ(LastStatusCode(), 0x108);
  EXPECT_EQ(gFake.closes, 1);
}

TEST_F(SerialLink, FailedConfigureLeavesNothingOpen) {
  gFake.configResult = SerialConfigResult::SetStateFailed;
  EXPECT_EQ(SerialOpen("COM1", 115200, false), 0);
  EXPECT_EQ(LastStatusCode() & 0xFFF, 0x105);
  EXPECT_EQ(gFake.closes, 1);
  gFake.configResult = SerialConfigResult::GetStateFailed;
  EXPECT_EQ(SerialOpen("COM1", 115200, false), 0);  // not "already open"
  EXPECT_EQ(LastStatusCode(), 0x4103);
  gFake.configResult = SerialConfigResult::Ok;
  EXPECT_EQ(SerialOpen("COM1", 115200, false), 1);
}
