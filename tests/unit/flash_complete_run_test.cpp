// Whole runs against the talo-sim engine behind the scripted serial port:
// handshake, identification, programming and reboot, then the controller's
// flash must hold the image and the engine must have seen no host mistake.
#include <gtest/gtest.h>

#include <string>

#include "base/status.h"
#include "flash/controller.h"
#include "flash/program.h"
#include "flash_test_images.h"
#include "link/link.h"
#include "protocol/commands.h"
#include "support/fake_serial.h"

namespace {

using namespace test_images;

struct RunOutcome {
  bool handshake = false;
  bool identified = false;
  bool programmed = false;
  bool rebooted = false;
  std::string output;
};

RunOutcome RunAgainstSim(const std::string& path, int32_t uploadRate) {
  RunOutcome r;
  ::testing::internal::CaptureStdout();
  r.handshake = Handshake();
  if (r.handshake) r.identified = QueryIdentification() != nullptr;
  if (r.identified) r.programmed = ProgramFlash(path.c_str(), 115200, uploadRate);
  if (r.programmed) r.rebooted = Reboot();
  r.output = ::testing::internal::GetCapturedStdout();
  return r;
}

sim::SimConfig Config(const char* model) {
  sim::SimConfig config;
  config.model = model;
  config.linkMaxBlock = 256;
  return config;
}

TEST(CompleteRun, EveryModelFamilyEndsWithTheImageInFlash) {
  struct Case {
    const char* model;
    uint32_t size;
    int32_t upload;
    sim::StartMode start;
  };
  const Case cases[] = {
      {"TXC5110", 20000, 0, sim::StartMode::Application},
      {"TXC5150", 0x8000 + 300, 0, sim::StartMode::Loader},
      {"TXC6260", 0x9000, 460800, sim::StartMode::Application},
      {"TXC7390", 0x20000 + 512, 460800, sim::StartMode::Application},
      {"TXC7380", 0x4000 * 3 + 100, 0, sim::StartMode::Loader},
      {"TXC7350", 0x2000 + 100, 230400, sim::StartMode::Application},
      {"TXM9410", 0x2000 + 100, 460800, sim::StartMode::Application},
  };
  // Sizes cross the page (and, for TXC7390, the sub-page) boundaries that
  // matter while keeping the engine's byte-by-byte decoding quick.
  for (const Case& c : cases) {
    FakeSerialSession session;
    sim::SimConfig config = Config(c.model);
    config.startMode = c.start;
    ASSERT_TRUE(UseSim(config)) << c.model;
    Bytes image = MakeImage(c.size, c.model);
    std::string path = WriteTemp(std::string("run-") + c.model + ".bin", image);
    RunOutcome r = RunAgainstSim(path, c.upload);
    ASSERT_TRUE(r.handshake) << c.model;
    ASSERT_TRUE(r.identified) << c.model << ": " << LastStatusText();
    ASSERT_TRUE(r.programmed) << c.model << ": " << LastStatusText() << "\n" << r.output;
    EXPECT_TRUE(r.rebooted) << c.model;
    EXPECT_EQ(sim::SimHostFaults(*FakeSerial.engine), 0u) << c.model;
    EXPECT_EQ(sim::SimFlashImage(*FakeSerial.engine), image) << c.model;
    EXPECT_EQ(sim::SimCurrentRate(*FakeSerial.engine), 115200u) << c.model << ": the rate is switched back";
    EXPECT_EQ(FakeSerial.hostRate, 115200) << c.model;
    EXPECT_EQ(sim::SimGetStats(*FakeSerial.engine).reboots, 1u) << c.model;
    bool verified = r.output.size() > 19 && r.output.ends_with(" - Ok - Verifying - Ok\n");
    bool family1 = CurrentController.family == 1;
    EXPECT_TRUE(family1 ? r.output.ends_with("written - Ok\n") : verified) << c.model << r.output;
  }
}

TEST(CompleteRun, SilentControllerFailsTheHandshake) {
  FakeSerialSession session;
  sim::SimConfig config = Config("TXC5110");
  config.startMode = sim::StartMode::Silent;
  ASSERT_TRUE(UseSim(config));
  EXPECT_FALSE(Handshake());
  EXPECT_EQ(FakeSerial.pauses.size(), 4u);
}

TEST(CompleteRun, InjectedFaultsEndTheRunWithTheirStatus) {
  struct Case {
    const char* model;
    const char* command;
    sim::FaultKind kind;
    StatusCode status;
    const char* tail;  // how the console output ends
  };
  const Case cases[] = {
      {"TXC5110", "write", sim::FaultKind::Nak, 0x207, "\nPrograming Error\n"},
      {"TXC5110", "write", sim::FaultKind::ChecksumError, 0x207, "\nPrograming Error\n"},
      {"TXC6260", "erase", sim::FaultKind::Silence, 0x201, "\nPrograming Error\n"},
      {"TXC7390", "subpage", sim::FaultKind::Overrun, 0x202, "\nPrograming Error\n"},
      {"TXC7390", "nandindex", sim::FaultKind::Nak, 0x203, "\nPrograming Error\n"},
      {"TXC6260", "name", sim::FaultKind::WrongFirstByte, 0x211, ""},
      {"TXC6260", "baud", sim::FaultKind::Nak, 0x205, ""},
  };
  for (const Case& c : cases) {
    FakeSerialSession session;
    sim::SimConfig config = Config(c.model);
    config.faults.push_back({c.command, 1, c.kind});
    ASSERT_TRUE(UseSim(config)) << c.command;
    std::string path =
        WriteTemp(std::string("fault-") + c.command + ".bin", MakeImage(0x10000 + 512, c.model));
    SetLastStatus(0);
    // Family 1 cannot change its rate; the others switch to exercise it.
    RunOutcome r = RunAgainstSim(path, std::string_view(c.model) == "TXC5110" ? 0 : 460800);
    ASSERT_TRUE(r.identified) << c.command;
    EXPECT_FALSE(r.programmed) << c.command;
    EXPECT_EQ(LastStatusCode(), c.status) << c.command;
    EXPECT_TRUE(r.output.ends_with(c.tail)) << c.command << ": " << r.output;
  }
}

TEST(CompleteRun, RefusedVerifyLeavesBothSidesAtTheUploadRate) {
  FakeSerialSession session;
  sim::SimConfig config = Config("TXC7320");
  config.faults.push_back({"verify", 1, sim::FaultKind::Nak});
  ASSERT_TRUE(UseSim(config));
  std::string path = WriteTemp("verify-refused.bin", MakeImage(5000, "TXC7320"));
  RunOutcome r = RunAgainstSim(path, 460800);
  EXPECT_FALSE(r.programmed);
  EXPECT_TRUE(r.output.ends_with(" - Verifying - Verify error\n")) << r.output;
  EXPECT_EQ(sim::SimCurrentRate(*FakeSerial.engine), 460800u);
  EXPECT_EQ(FakeSerial.hostRate, 460800);
}

}  // namespace
