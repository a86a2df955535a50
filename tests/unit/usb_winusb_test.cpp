// The bulk (WinUSB) link against the fake bulk device layer.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "base/status.h"
#include "link/usb/winusb_device.h"
#include "link/usb/winusb_link.h"
#include "support/fake_winusb.h"

namespace {

using fake::FakeWinUsbConfig;
using fake::FakeWinUsbDevice;

bool WaitReaderEnded() {
  for (int i = 0; i < 400 && WinUsbReaderRunning(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return !WinUsbReaderRunning();
}

class WinUsbLinkTest : public ::testing::Test {
 protected:
  void Open(const FakeWinUsbConfig& config = FakeWinUsbConfig{}) {
    fake::winusb.Install(config);
    ASSERT_EQ(WinUsbOpen(), 1) << LastStatusText();
    WinUsbSetTimeouts(500, 100);
  }
  void TearDown() override {
    if (WinUsbIsOpen()) WinUsbClose();
    WinUsbClose();  // tidies a reader left by a lost connection
    fake::winusb.Uninstall();
  }
};

TEST_F(WinUsbLinkTest, OpenPrimesTheOutPipe) {
  Open();
  auto c = fake::winusb.CountersNow();
  ASSERT_EQ(c.policyCalls, 1);
  EXPECT_EQ(c.policyValues[0], 100u);
  EXPECT_EQ(c.zeroLengthWrites, 1);
  EXPECT_EQ(c.lastWritePipe, 0x01);
  EXPECT_TRUE(fake::winusb.WaitReadPending());
  c = fake::winusb.CountersNow();
  EXPECT_EQ(c.lastReadPipe, 0x81);
  EXPECT_EQ(c.lastReadCapacity, 32u * 64u);
}

TEST_F(WinUsbLinkTest, PipeDiscovery) {
  struct Case {
    std::vector<WinUsbPipeInfo> pipes;
    bool opens;
    uint8_t in, out;
    uint32_t readSize;
  };
  const Case cases[] = {
      {{{2, 0x01, 64}}, false, 0, 0, 0},                 // no IN
      {{{2, 0x82, 64}, {3, 0x03, 64}}, false, 0, 0, 0},  // interrupt OUT only
      {{}, false, 0, 0, 0},                              // no pipes at all
      {{{2, 0x81, 64}, {2, 0x01, 64}, {2, 0x83, 512}, {2, 0x02, 64}}, true, 0x83, 0x02, 32 * 512},
      {{{3, 0x84, 8}, {2, 0x81, 64}, {1, 0x85, 64}, {2, 0x01, 64}, {0, 0x00, 64}}, true, 0x81, 0x01, 32 * 64},
  };
  for (const Case& c : cases) {
    FakeWinUsbConfig config;
    config.devices[0].pipes = c.pipes;
    fake::winusb.Install(config);
    ASSERT_EQ(WinUsbOpen(), c.opens ? 1 : 0);
    auto counters = fake::winusb.CountersNow();
    if (!c.opens) {
      EXPECT_EQ(LastStatusCode(), 0x4305);
      EXPECT_EQ(counters.releases, 1);
      EXPECT_FALSE(WinUsbIsOpen());
      continue;
    }
    ASSERT_TRUE(fake::winusb.WaitReadPending());
    counters = fake::winusb.CountersNow();
    EXPECT_EQ(counters.lastReadPipe, c.in);
    EXPECT_EQ(counters.lastWritePipe, c.out);
    EXPECT_EQ(counters.lastReadCapacity, c.readSize);
    WinUsbClose();
  }

  FakeWinUsbConfig config;
  config.queryInterfaceFails = true;
  fake::winusb.Install(config);
  EXPECT_EQ(WinUsbOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x4305);
}

TEST_F(WinUsbLinkTest, DeviceMatch) {
  FakeWinUsbConfig config;
  std::vector<uint8_t> shortDescriptor = fake::DeviceDescriptor(0x0483, 0x1511);
  shortDescriptor.resize(11);
  config.devices = {{"wrong-product", fake::DeviceDescriptor(0x0483, 0x1514), {}},
                    {"wrong-vendor", fake::DeviceDescriptor(0x0484, 0x1512), {}},
                    {"short", shortDescriptor, {}}};
  fake::winusb.Install(config);
  EXPECT_EQ(WinUsbOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x30D);
  EXPECT_EQ(fake::winusb.CountersNow().opens, 0);

  config.enumerateStatus = 0x4303;
  fake::winusb.Install(config);
  EXPECT_EQ(WinUsbOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x4303);

  config = FakeWinUsbConfig{};
  config.openFails = true;
  fake::winusb.Install(config);
  EXPECT_EQ(WinUsbOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x4305);
}

TEST_F(WinUsbLinkTest, PolicyIsSetOnlyWhenTheSendTimeoutChanged) {
  Open();
  const uint8_t frame[] = {1, 2, 3};
  WinUsbSetTimeouts(500, 137);  // a value no earlier send has applied
  ASSERT_EQ(WinUsbSend(frame, 3), 1);
  ASSERT_EQ(WinUsbSend(frame, 3), 1);
  auto c = fake::winusb.CountersNow();
  EXPECT_EQ(c.policyValues, (std::vector<uint32_t>{100, 137}));
  WinUsbSetTimeouts(500, 200);
  ASSERT_EQ(WinUsbSend(frame, 3), 1);
  c = fake::winusb.CountersNow();
  EXPECT_EQ(c.policyValues, (std::vector<uint32_t>{100, 137, 200}));
  EXPECT_EQ(c.writeCalls, 1 + 3);  // the open's empty packet and one per send
}

TEST_F(WinUsbLinkTest, SendsAreSingleTransfers) {
  Open();
  SetLastStatus(0x30B);
  EXPECT_EQ(WinUsbSend(nullptr, 0), 1);
  EXPECT_EQ(LastStatusCode(), 0);
  EXPECT_EQ(fake::winusb.CountersNow().writeCalls, 1);  // only the open's

  std::vector<uint8_t> block(2048);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(WinUsbSend(block.data(), 2048), 1);
  auto writes = fake::winusb.Written();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], block);
}

TEST_F(WinUsbLinkTest, SendFailuresAre4308) {
  for (int kind = 0; kind < 3; ++kind) {
    FakeWinUsbConfig config;
    config.shortTransfer = kind == 0;
    config.writeFails = kind == 1;
    config.policyFails = kind == 2;
    Open(config);
    WinUsbSetTimeouts(500, 150 + kind);  // the policy is set on this send
    const uint8_t frame[] = {9, 9, 9, 9};
    EXPECT_EQ(WinUsbSend(frame, 4), 0) << kind;
    EXPECT_EQ(LastStatusCode(), 0x4308) << kind;
    if (kind == 2) {
      EXPECT_EQ(fake::winusb.CountersNow().writeCalls, 1);  // no transfer
    }
    EXPECT_TRUE(WinUsbIsOpen());
    WinUsbClose();
  }
}

TEST_F(WinUsbLinkTest, AShortTransferCarriesNoOlderSystemError) {
  FakeWinUsbConfig config;
  config.shortTransfer = true;
  config.staleError = true;
  Open(config);
  const uint8_t frame[] = {9, 9, 9, 9};
  EXPECT_EQ(WinUsbSend(frame, 4), 0);
  EXPECT_EQ(LastStatusCode(), 0x4308);
  EXPECT_STREQ(LastStatusText(), "Error writing data to USB device");
  EXPECT_EQ(LastSystemError(), 0u);
}

TEST_F(WinUsbLinkTest, InPacketBytesReachTheRingExactly) {
  Open();
  fake::winusb.InjectRaw({5, 4, 3, 2, 1});
  uint8_t b;
  for (uint8_t want : {5, 4, 3, 2, 1}) {
    ASSERT_EQ(WinUsbReceiveByte(&b), 1);
    EXPECT_EQ(b, want);
  }
  WinUsbSetTimeouts(20, 100);
  EXPECT_EQ(WinUsbReceiveByte(&b), 0);
  EXPECT_EQ(LastStatusCode(), 0x30B);
}

TEST_F(WinUsbLinkTest, LostConnectionClosesTheLink) {
  Open();
  ASSERT_TRUE(fake::winusb.WaitReadPending());
  fake::winusb.LoseConnection();
  ASSERT_TRUE(WaitReaderEnded());
  EXPECT_EQ(LastStatusCode(), 0x430A);
  EXPECT_FALSE(WinUsbIsOpen());
  EXPECT_EQ(fake::winusb.CountersNow().releases, 1);

  const uint8_t frame[] = {1};
  EXPECT_EQ(WinUsbSend(frame, 1), 0);
  EXPECT_EQ(LastStatusCode(), 0x306);
  WinUsbSetTimeouts(10, 100);
  uint8_t b;
  EXPECT_EQ(WinUsbReceiveByte(&b), 0);
  EXPECT_EQ(LastStatusCode(), 0x30B);
  EXPECT_EQ(WinUsbClose(), 0);
  EXPECT_EQ(LastStatusCode(), 0x306);
  EXPECT_EQ(fake::winusb.CountersNow().releases, 1);

  // A later open starts afresh.
  Open();
  EXPECT_EQ(WinUsbSend(frame, 1), 1);
  EXPECT_EQ(WinUsbClose(), 1);
}

TEST_F(WinUsbLinkTest, ReleaseAfterALossWaitsForTheSendInProgress) {
  FakeWinUsbConfig config;
  config.holdWrites = true;
  Open(config);
  ASSERT_TRUE(fake::winusb.WaitReadPending());
  int result = -1;
  std::thread sender([&] {
    const uint8_t frame[] = {1, 2};
    result = WinUsbSend(frame, 2);
  });
  ASSERT_TRUE(fake::winusb.WaitWriteInProgress());
  fake::winusb.LoseConnection();
  // Give a reader that would not wait the chance to release now.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(fake::winusb.CountersNow().releases, 0);
  fake::winusb.FinishWrite();
  sender.join();
  EXPECT_EQ(result, 0);  // the transfer itself failed on the lost device
  ASSERT_TRUE(WaitReaderEnded());
  auto c = fake::winusb.CountersNow();
  EXPECT_EQ(c.releases, 1);
  EXPECT_FALSE(c.releaseDuringTransfer);
  EXPECT_FALSE(WinUsbIsOpen());
}

TEST_F(WinUsbLinkTest, CloseEndsAPendingReadBeforeTheRelease) {
  Open();
  ASSERT_TRUE(fake::winusb.WaitReadPending());
  EXPECT_EQ(WinUsbClose(), 1);
  auto c = fake::winusb.CountersNow();
  EXPECT_TRUE(c.stopEndedPendingRead);
  EXPECT_FALSE(c.releaseDuringTransfer);
  EXPECT_EQ(c.releases, 1);
  EXPECT_EQ(c.stopsCreated, c.stopsDestroyed);
  EXPECT_EQ(c.unloads, 1);
  EXPECT_FALSE(WinUsbIsOpen());
}

TEST_F(WinUsbLinkTest, OpenWhileOpenAndUseWhileClosed) {
  Open();
  EXPECT_EQ(WinUsbOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x304);
  const uint8_t frame[] = {3};
  EXPECT_EQ(WinUsbSend(frame, 1), 1);
  EXPECT_EQ(WinUsbClose(), 1);
  EXPECT_EQ(WinUsbSend(frame, 1), 0);
  EXPECT_EQ(LastStatusCode(), 0x306);
  EXPECT_EQ(WinUsbClose(), 0);
  EXPECT_EQ(LastStatusCode(), 0x306);
}

}  // namespace
