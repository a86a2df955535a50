// The USB link dispatch choosing between the two links, and whole
// programming runs over both, through the fake devices, against the talo-sim
// engine: the engine's flash must end up equal to the image.
#include <gtest/gtest.h>

#include <memory>

#include "base/status.h"
#include "engine/engine.h"
#include "flash/program.h"
#include "link/link.h"
#include "link/usb/hid_device.h"
#include "protocol/commands.h"
#include "support/fake_hid.h"
#include "support/fake_winusb.h"
#include "unit/flash_test_images.h"

namespace {

fake::Responder EngineResponder(std::shared_ptr<sim::SimEngine> engine) {
  return [engine](std::span<const uint8_t> sent, std::vector<uint8_t>& reply) {
    uint32_t events = sim::SimFeed(*engine, sent.data(), sent.size(), reply);
    return (events & sim::kSimEventDropLink) != 0;
  };
}

std::shared_ptr<sim::SimEngine> MakeEngine(const char* model) {
  auto engine = std::make_shared<sim::SimEngine>();
  sim::SimConfig config;
  config.model = model;
  sim::SimInit(*engine, config);
  return engine;
}

// The run sequence's steps from open to close.
void ProgramOverUsb(const std::string& path) {
  ASSERT_EQ(LinkOpen("", 0, false, LinkKind::UsbHid), 1) << LastStatusText();
  ASSERT_TRUE(Handshake()) << LastStatusText();
  ASSERT_NE(QueryIdentification(), nullptr);
  ASSERT_EQ(ProgramFlash(path.c_str(), 0, 0), 1) << LastStatusText();
  ASSERT_TRUE(Reboot());
  ASSERT_EQ(LinkClose(), 1);
}

class UsbProgramRun : public ::testing::Test {
 protected:
  void SetUp() override { ResetLinkState(); }
  void TearDown() override {
    if (LinkState.isOpen) LinkClose();
    ResetLinkState();
    fake::winusb.Uninstall();
    fake::hid.Uninstall();
  }
};

// The dispatch alone: the same devices and clean-up, without a run.
class UsbDispatchTest : public UsbProgramRun {};

TEST_F(UsbDispatchTest, WinUsbIsPreferredOverHid) {
  fake::winusb.Install(fake::FakeWinUsbConfig{});
  fake::hid.Install(fake::FakeHidConfig{});
  ASSERT_EQ(LinkOpen("", 0, false, LinkKind::UsbHid), 1) << LastStatusText();
  EXPECT_EQ(LinkState.kind, LinkKind::UsbWinUsb);
  EXPECT_EQ(LinkState.maxBlockSize, 2048u);
  EXPECT_EQ(fake::hid.CountersNow().loads, 0);
  EXPECT_EQ(LinkClose(), 1);
}

TEST_F(UsbDispatchTest, HidServesWhenNoBulkDeviceIsThere) {
  fake::FakeWinUsbConfig none;
  none.devices.clear();
  fake::winusb.Install(none);
  fake::hid.Install(fake::FakeHidConfig{});
  ASSERT_EQ(LinkOpen("", 0, false, LinkKind::UsbHid), 1) << LastStatusText();
  EXPECT_EQ(LinkState.kind, LinkKind::UsbHid);
  EXPECT_EQ(LinkState.maxBlockSize, 256u);
  EXPECT_TRUE(HidIsOpen());
  const uint8_t frame[] = {1};
  EXPECT_EQ(LinkSend(frame, 1), 1);
  EXPECT_EQ(fake::hid.Written().size(), 1u);
  EXPECT_EQ(LinkClose(), 1);
  EXPECT_FALSE(HidIsOpen());
}

TEST_F(UsbDispatchTest, NothingAttachedReportsTheHidSearch) {
  fake::FakeWinUsbConfig none;
  none.devices.clear();
  fake::winusb.Install(none);
  fake::FakeHidConfig noHid;
  noHid.devices.clear();
  fake::hid.Install(noHid);
  EXPECT_EQ(LinkOpen("", 0, false, LinkKind::UsbHid), 0);
  EXPECT_EQ(LastStatusCode(), 0x30D);
  EXPECT_FALSE(LinkState.isOpen);
}

TEST_F(UsbProgramRun, Txc7350OverHid) {
  auto engine = MakeEngine("TXC7350");
  fake::FakeWinUsbConfig noBulk;
  noBulk.devices.clear();
  fake::winusb.Install(noBulk);
  fake::FakeHidConfig hid;
  hid.responder = EngineResponder(engine);
  fake::hid.Install(hid);

  test_images::Bytes image = test_images::MakeImage(40000, "TXC7350");
  ProgramOverUsb(test_images::WriteTemp("usb-txc7350.bin", image));
  EXPECT_EQ(LinkState.kind, LinkKind::UsbHid);
  EXPECT_EQ(LinkState.maxBlockSize, 256u);
  EXPECT_EQ(sim::SimFlashImage(*engine), image);
  EXPECT_EQ(sim::SimHostFaults(*engine), 0u);
}

TEST_F(UsbProgramRun, Txc7390OverWinUsb) {
  auto engine = MakeEngine("TXC7390");
  fake::FakeWinUsbConfig bulk;
  bulk.responder = EngineResponder(engine);
  fake::winusb.Install(bulk);
  fake::hid.Install(fake::FakeHidConfig{});  // present, but not chosen

  test_images::Bytes image = test_images::MakeImage(200 * 1024 + 77, "TXC7390");
  ProgramOverUsb(test_images::WriteTemp("usb-txc7390.bin", image));
  EXPECT_EQ(LinkState.kind, LinkKind::UsbWinUsb);
  EXPECT_EQ(LinkState.maxBlockSize, 2048u);
  EXPECT_EQ(sim::SimFlashImage(*engine), image);
  EXPECT_EQ(sim::SimHostFaults(*engine), 0u);
  // Every block went out as one bulk transfer: no write larger than a
  // framed 2048-byte block, and at least one that carried a whole block.
  size_t largest = 0;
  for (const auto& w : fake::winusb.Written()) largest = std::max(largest, w.size());
  EXPECT_GT(largest, 2048u);
  EXPECT_EQ(fake::hid.CountersNow().loads, 0);
}

}  // namespace
