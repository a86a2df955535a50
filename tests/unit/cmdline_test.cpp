#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "app/environment.h"
#include "link/ethernet/eth_state.h"
#include "link/usb/usb_select.h"

namespace {

RunOptions Parse(std::vector<std::string> args) {
  std::vector<const char*> argv{"pendrel"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST(CommandLine, SerialDefaults) {
  RunOptions o = Parse({"image.bin", "-pCOM3"});
  EXPECT_TRUE(IsUsable(o));
  EXPECT_EQ(o.fileName, "image.bin");
  EXPECT_EQ(o.portName, "COM3");
  EXPECT_EQ(o.commandBaudRate, 115200);
  EXPECT_EQ(o.uploadBaudRate, 0);
  EXPECT_FALSE(o.noCts);
  EXPECT_EQ(o.kind, LinkKind::Serial);
}

TEST(CommandLine, UsabilityRules) {
  EXPECT_FALSE(IsUsable(Parse({})));
  EXPECT_FALSE(IsUsable(Parse({"image.bin"})));       // no link
  EXPECT_TRUE(IsUsable(Parse({"image.bin", "-p"})));  // empty port name is a port name
  EXPECT_EQ(Parse({"image.bin", "-p"}).portName, "");
  EXPECT_TRUE(IsUsable(Parse({"image.bin", "-usb"})));
  EXPECT_FALSE(IsUsable(Parse({"-usb"})));  // no file
  EXPECT_FALSE(IsUsable(Parse({"image.bin", "-usb", "-b0"})));
  EXPECT_FALSE(IsUsable(Parse({"image.bin", "-pCOM1", "-bfast"})));
  EXPECT_FALSE(IsUsable(Parse({"image.bin", "-pCOM1", "-x"})));
  EXPECT_FALSE(IsUsable(Parse({"image.bin", "-pCOM1", "-"})));
  EXPECT_FALSE(IsUsable(Parse({"image.bin", "-pCOM1", "-P"})));
  EXPECT_FALSE(IsUsable(Parse({"image.bin", "-pCOM1", "-NOCTS"})));
  EXPECT_FALSE(IsUsable(Parse({"image.bin", "-Usb"})));
  EXPECT_TRUE(IsUsable(Parse({"", "-pCOM1"})));                   // an empty argument is a file name
  EXPECT_TRUE(IsUsable(Parse({"image.bin", "-pCOM1", "-b-5"})));  // reaches the link as it is
}

TEST(CommandLine, LastOneWins) {
  RunOptions o = Parse({"a.bin", "b.bin", "-pCOM1", "-pCOM2", "-b9600", "-b19200", "-u1", "-u460800"});
  EXPECT_EQ(o.fileName, "b.bin");
  EXPECT_EQ(o.portName, "COM2");
  EXPECT_EQ(o.commandBaudRate, 19200);
  EXPECT_EQ(o.uploadBaudRate, 460800);
  EXPECT_EQ(Parse({"a.bin", "-usb", "-eth"}).kind, LinkKind::Ethernet);
  EXPECT_EQ(Parse({"a.bin", "-eth", "-usb"}).kind, LinkKind::UsbHid);
}

TEST(CommandLine, OptionsThatLookAlike) {
  RunOptions o = Parse({"a.bin", "-pCOM1", "-usb2"});  // an upload rate, not USB
  EXPECT_EQ(o.kind, LinkKind::Serial);
  EXPECT_EQ(o.uploadBaudRate, 0);
  EXPECT_TRUE(IsUsable(o));
  EXPECT_TRUE(Parse({"a.bin", "-pCOM1", "-nocts"}).noCts);
  EXPECT_FALSE(IsUsable(Parse({"a.bin", "-pCOM1", "-noctsx"})));
  EXPECT_EQ(Parse({"a.bin", "-p-nocts"}).portName, "-nocts");
}

TEST(CommandLine, PasswordLength) {
  EXPECT_TRUE(IsUsable(Parse({"a.bin", "-eth", "-w0123456789abcdef"})));
  EXPECT_FALSE(IsUsable(Parse({"a.bin", "-eth", "-w0123456789abcdefg"})));
  EXPECT_TRUE(IsUsable(Parse({"a.bin", "-eth", "-w"})));
}

TEST(CommandLine, NumbersReadAsAtolDoes) {
  EXPECT_EQ(ReadNumber("9600"), 9600);
  EXPECT_EQ(ReadNumber("  +57600baud"), 57600);
  EXPECT_EQ(ReadNumber("-300"), -300);
  EXPECT_EQ(ReadNumber("fast"), 0);
  EXPECT_EQ(ReadNumber(""), 0);
  EXPECT_EQ(ReadNumber("99999999999999999999"), INT32_MAX);
  EXPECT_EQ(ReadNumber("-99999999999999999999"), INT32_MIN);
}

TEST(CommandLine, HostileArgumentsAreHarmless) {
  std::string huge(10000, 'x');
  EXPECT_EQ(Parse({huge, "-p" + huge}).portName.size(), 10000u);
  EXPECT_TRUE(IsUsable(Parse({"a.bin", "-p1", "-b" + std::string(10000, '9')})));
  EXPECT_TRUE(IsUsable(Parse({"\xff\xfe.bin", "-p\xc3\xa9"})));
  EXPECT_FALSE(IsUsable(Parse({"a.bin", "-p1", "-\xff"})));
}

namespace {

// The environment a test gives pendrel: NAME=value entries.
std::vector<std::string> gEnvironment;
const char* Lookup(const char* name) {
  for (const std::string& entry : gEnvironment)
    if (entry.rfind(std::string(name) + "=", 0) == 0) return entry.c_str() + std::strlen(name) + 1;
  return nullptr;
}

RunOptions ParseWith(std::vector<std::string> environment, std::vector<std::string> args) {
  gEnvironment = std::move(environment);
  ResetEthernetState();
  RunOptions o = Parse(std::move(args));
  ApplyEnvironment(o, Lookup);
  return o;
}

}  // namespace

TEST(Environment, PasswordWhenNoDashW) {
  EXPECT_TRUE(IsUsable(ParseWith({"PENDREL_PASSWORD=0123456789abcdef"}, {"a.bin", "-eth"})));
  EXPECT_STREQ(EthernetState.password.data(), "0123456789abcdef");
  EXPECT_FALSE(IsUsable(ParseWith({"PENDREL_PASSWORD=0123456789abcdefg"}, {"a.bin", "-eth"})));
  // -w wins, whatever the environment holds.
  EXPECT_TRUE(IsUsable(ParseWith({"PENDREL_PASSWORD=0123456789abcdefg"}, {"a.bin", "-eth", "-wmine"})));
  EXPECT_STREQ(EthernetState.password.data(), "mine");
  EXPECT_TRUE(IsUsable(ParseWith({"PENDREL_PASSWORD=env"}, {"a.bin", "-eth", "-w"})));
  EXPECT_STREQ(EthernetState.password.data(), "");
  EXPECT_TRUE(IsUsable(ParseWith({"PENDREL_PASSWORD="}, {"a.bin", "-eth"})));
  EXPECT_STREQ(EthernetState.password.data(), "");
}

TEST(Environment, UsbDeviceAndEthernetAddress) {
  ParseWith({"PENDREL_USB_DEVICE=serial=A1", "PENDREL_ETH_ADDRESS=192.0.2.7"}, {"a.bin", "-usb"});
  EXPECT_EQ(SelectedUsbDevice().kind, UsbNameKind::Serial);
  EXPECT_EQ(SelectedUsbDevice().text, "A1");
  EXPECT_EQ(EthernetState.discoveryTarget, DiscoveryTarget::Address);
  EXPECT_EQ(EthernetState.discoveryAddress, 0xC0000207u);
  ParseWith({"PENDREL_USB_DEVICE=", "PENDREL_ETH_ADDRESS="}, {"a.bin", "-usb"});
  EXPECT_EQ(SelectedUsbDevice().kind, UsbNameKind::Any);
  EXPECT_EQ(EthernetState.discoveryTarget, DiscoveryTarget::Broadcast);
  for (const char* bad : {"192.0.2", "192.0.2.256", "192.0.2.07", "192.0.2.1 ", "host.example", "::1"}) {
    ParseWith({std::string("PENDREL_ETH_ADDRESS=") + bad}, {"a.bin", "-eth"});
    EXPECT_EQ(EthernetState.discoveryTarget, DiscoveryTarget::Unusable) << bad;
  }
  ResetEthernetState();
}
