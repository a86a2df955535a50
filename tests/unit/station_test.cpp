// pendrel-station's portable core: the reading of pendrel's output, the
// verdict on a run, the command line; and the system's SHA-256 it uses.
#include <gtest/gtest.h>

#include <string>

#include "instance_ids.h"
#include "options.h"
#include "station_args.h"
#include "pendrel_output.h"
#include "pendrel_version.h"
#include "system.h"
#include "unit.h"

namespace {

// The system's library, checked against the FIPS 180 vectors as our own code was.
TEST(StationSha256, Fips180Vectors) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

const std::string kBanner = "\nPendrel V" PENDREL_VERSION
                            " - Loads raw flash data files into the Talo device\n"
                            "Copyright (c) 2026 Pendrel developers\n\n";
const std::string kPrompt = "\nPress any key to exit program";

std::string Progress(int total) {
  std::string s = "Programming application data: Total size is " + std::to_string(total) + "kB";
  size_t printed = s.size() - 30;
  for (int kb = 1; kb <= total; ++kb) {
    s += std::string(printed, '\b');
    std::string step = std::to_string(kb) + "kB (" + std::to_string(kb * 100 / total) + "%) of " +
                       std::to_string(total) + "kB written";
    printed = step.size();
    s += step;
  }
  return s;
}

// Feeds the text in pieces of `piece` bytes, so that every split point is tried.
PendrelOutput Read(const std::string& text, size_t piece, OutputNews* all = nullptr) {
  PendrelOutput o;
  for (size_t i = 0; i < text.size(); i += piece) {
    OutputNews n = FeedPendrelOutput(o, std::string_view(text).substr(i, piece));
    if (all) {
      all->identified |= n.identified;
      all->writeStarted |= n.writeStarted;
      all->progressed |= n.progressed;
    }
  }
  EndPendrelOutput(o);
  return o;
}

TEST(StationPendrelOutput, RunsAsPendrelPrintsThem) {
  struct Case {
    const char* what;
    std::string text;
    bool identified, writeOk;
    long kb;
    const char* failure;
  };
  const std::string ident = "Talo Simulated Controller V1.00\n";
  const Case cases[] = {
      {"verified run", kBanner + ident + Progress(40) + " - Ok - Verifying - Ok\n" + kPrompt, true, true, 40,
       ""},
      {"family 1 run", kBanner + ident + Progress(3) + " - Ok\n" + kPrompt, true, true, 3, ""},
      {"open error", kBanner + "Open error\nNo such file or directory\n" + kPrompt, false, false, 0,
       "Open error: No such file or directory"},
      {"rate refused", kBanner + "Set CommState error\nInvalid argument\n" + kPrompt, false, false, 0,
       "Set CommState error: Invalid argument"},
      {"USB search", kBanner + "No Talo USB devices found\n" + kPrompt, false, false, 0,
       "No Talo USB devices found"},
      {"no answer", kBanner + "No or invalid response from Talo device\n" + kPrompt, false, false, 0,
       "No or invalid response from Talo device"},
      {"file refused", kBanner + ident + "Data file has invalid checksum\n" + kPrompt, true, false, 0,
       "Data file has invalid checksum"},
      {"write refused",
       kBanner + ident + Progress(5) + "\nPrograming Error\nFailed to write data to Flash\n" + kPrompt, true,
       false, 5, "Programing Error: Failed to write data to Flash"},
      {"flush refused", kBanner + ident + Progress(4) + " - Ok - Flushing error\n" + kPrompt, true, false, 4,
       "Flushing error"},
      {"verify refused", kBanner + ident + Progress(4) + " - Ok - Verifying - Verify error\n" + kPrompt, true,
       false, 4, "Verify error"},
      {"reboot refused",
       kBanner + ident + Progress(2) + " - Ok - Verifying - Ok\nUnable to reboot the Talo device\n" + kPrompt,
       true, true, 2, "Unable to reboot the Talo device"},
      {"cut off mid-write", kBanner + ident + Progress(7), true, false, 7, ""},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}}) {
      SCOPED_TRACE(std::string(c.what) + " in pieces of " + std::to_string(piece));
      OutputNews news;
      PendrelOutput o = Read(c.text, piece, &news);
      EXPECT_EQ(o.identified, c.identified);
      EXPECT_EQ(news.identified, c.identified);
      if (c.identified) {
        EXPECT_EQ(o.identification, "Talo Simulated Controller V1.00");
      }
      EXPECT_EQ(o.writeOk, c.writeOk);
      EXPECT_EQ(o.writtenKb, c.kb);
      EXPECT_EQ(FailureText(o), c.failure);
    }
  }
}

TEST(StationPendrelOutput, WindowsLineEndsAndCarriageReturnRedraws) {
  std::string text = kBanner + "Ident X\n" + Progress(2) + " - Ok\n" + kPrompt;
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  PendrelOutput o = Read(crlf, 3);
  EXPECT_EQ(o.identification, "Ident X");
  EXPECT_TRUE(o.writeOk);
  EXPECT_EQ(FailureText(o), "");
  // A bare "\r" starts the line again, as a terminal would.
  PendrelOutput r;
  FeedPendrelOutput(r, kBanner +
                           "Ident\nProgramming application data: 1kB (50%) of 2kB written\rProgramming "
                           "application data: 2kB (100%) of 2kB written");
  EXPECT_EQ(r.writtenKb, 2);
  EXPECT_EQ(r.percent, 100);
  EXPECT_EQ(r.totalKb, 2);
}

TEST(StationPendrelOutput, ProgressIsSeenAsItIsDrawn) {
  PendrelOutput o;
  OutputNews n = FeedPendrelOutput(o, kBanner + "Ident\n");
  EXPECT_TRUE(n.identified);  // shown at once, not only when the write begins
  n = FeedPendrelOutput(o, "Programming application data: Total size is 96kB");
  EXPECT_TRUE(n.writeStarted);
  EXPECT_EQ(o.totalKb, 96);
  n = FeedPendrelOutput(o, std::string(18, '\b') + "48kB (50%) of 96kB written");
  EXPECT_TRUE(n.progressed);
  EXPECT_EQ(o.writtenKb, 48);
  EXPECT_EQ(o.percent, 50);
}

Unit RunWith(const std::string& text) {
  Unit u;
  u.name = "/dev/ttyUSB0";
  u.startedAt = 10;
  u.writeStartedAt = 11;
  FeedPendrelOutput(u.out, text);
  EndPendrelOutput(u.out);
  return u;
}

TEST(StationVerdict, OnlyACompleteRunWithExitZeroSucceeds) {
  std::string good = kBanner + "Ident\n" + Progress(8) + " - Ok - Verifying - Ok\n" + kPrompt;
  UnitResult r = ResultOfRun(RunWith(good), 8000, 0, false, "", 13, "t");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.kb, 8);
  EXPECT_DOUBLE_EQ(r.seconds, 3);
  EXPECT_EQ(r.bytes, 8000u) << "a complete run wrote the whole image, not its kB figure";
  EXPECT_DOUBLE_EQ(r.bytesPerSecond, 4000);
  EXPECT_EQ(r.pendrelVersion, PENDREL_VERSION);

  r = ResultOfRun(RunWith(kBanner + "Ident\n" + Progress(8)), 8000, 0, true, "signal 11 (Segmentation fault)",
                  13, "t");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.exitCode, -1);
  EXPECT_EQ(r.failure, "pendrel crashed (signal 11 (Segmentation fault))");
  EXPECT_EQ(r.bytes, 8000u) << "8 kB counted, but never more than the image holds";

  r = ResultOfRun(RunWith(kBanner + "Ident\n" + Progress(8)), 9000, 0, false, "", 13, "t");
  EXPECT_FALSE(r.ok) << "exit code 0 without the write's end is not a success";
  EXPECT_EQ(r.bytes, 8192u);

  Unit hung = RunWith(kBanner + "Ident\n" + Progress(3));
  hung.killedFor = "no result after 40 s, pendrel ended by the station";
  r = ResultOfRun(hung, 8000, 0, true, "signal 9 (Killed)", 60, "t");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.failure, hung.killedFor);

  r = ResultOfRun(RunWith("odd output\n"), 8000, 3, false, "", 13, "t");
  EXPECT_EQ(r.failure, "odd output");
  r = ResultOfRun(RunWith(""), 8000, 3, false, "", 13, "t");
  EXPECT_EQ(r.failure, "pendrel ended with exit code 3");
}

// Device trees as Windows reports them for the kinds of COM port a line meets.
TEST(StationInstanceIds, OnlyUsbPortsWithTheUsbDevicesSerialNumber) {
  struct Case {
    const char* what;
    std::vector<std::string> chain;
    bool onUsb;
    const char* serial;
  };
  const Case cases[] = {
      {"FTDI (its own bus driver)",
       {"FTDIBUS\\VID_0403+PID_6001+A1B2C3DA\\0000", "USB\\VID_0403&PID_6001\\A1B2C3D",
        "USB\\ROOT_HUB30\\4&1B5A3B6E&0&0"},
       true,
       "A1B2C3D"},
      {"CDC ACM",
       {"USB\\VID_2341&PID_0043\\75735303331351E0A0F1", "USB\\ROOT_HUB30\\4&1&0&0"},
       true,
       "75735303331351E0A0F1"},
      {"one interface of a composite device",
       {"USB\\VID_2341&PID_8036&MI_00\\6&3A7FCB0B&0&0000", "USB\\VID_2341&PID_8036\\HIDPCOM7",
        "USB\\VID_05E3&PID_0608\\HUBSERIAL1"},
       true,
       "HIDPCOM7"},
      {"an adapter without a serial number, behind a hub that has one",
       {"USB\\VID_1A86&PID_7523\\5&2BB2B8C3&0&1", "USB\\VID_2109&PID_2813\\000000000"},
       true,
       ""},
      {"a motherboard's UART", {"ACPI\\PNP0501\\1", "ACPI\\PNP0A08\\0", "ROOT\\ACPI_HAL\\0000"}, false, ""},
      {"a Bluetooth link (its radio is on USB)",
       {"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1&0&000000000000_00000000",
        "BTH\\MS_BTHBRB\\6&2&0&1", "USB\\VID_8087&PID_0A2B\\5&3&0&7"},
       false,
       ""},
      {"no device at all (a name only)", {}, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UsbAncestry a = UsbAncestryOf(c.chain);
    EXPECT_EQ(a.onUsb, c.onUsb);
    EXPECT_EQ(a.serial, c.serial);
  }
}

TEST(StationCommandLine, ProgramOptions) {
  StationOptions o;
  std::string error;
  ASSERT_TRUE(ParseStation({"program", "img.bin", "/dev/ttyUSB0", "-pCOM3", "-u460800", "-nocts", "--jobs",
                            "2", "--json", "--log=run.jsonl", "--timeout", "90", "-usb"},
                           &o, &error))
      << error;
  EXPECT_EQ(o.image, "img.bin");
  ASSERT_EQ(o.units.size(), 2u);
  EXPECT_EQ(o.units[0].target, "/dev/ttyUSB0");
  EXPECT_EQ(o.units[1].name, "COM3");
  EXPECT_EQ(o.passOn, (std::vector<std::string>{"-u460800", "-nocts"}));
  EXPECT_EQ(o.uploadRate, 460800);
  EXPECT_EQ(o.jobs, 2);
  EXPECT_TRUE(o.json && o.usb && !o.eth);
  EXPECT_EQ(o.logPath, "run.jsonl");
  EXPECT_DOUBLE_EQ(o.timeoutSeconds, 90);
  // --help after a command asks for the usage, whatever else is on the line.
  for (const char* command : {"program", "report", "list"}) {
    StationOptions help;
    EXPECT_TRUE(ParseStation({command, "--bogus", "--help"}, &help, &error)) << command;
    EXPECT_EQ(help.command, StationCommand::Help);
  }
}

TEST(StationCommandLine, BadInputIsRefusedWithAReason) {
  const std::vector<std::vector<const char*>> bad = {
      {"program", "img.bin", "/dev/ttyUSB0", "--fast"},
      {"program", "img.bin"},
      {"program", "img.bin", "COM1", "--jobs", "0"},
      {"program", "img.bin", "COM1", "--jobs"},
      {"program", "img.bin", "COM1", "--timeout", "x"},
      {"program", "img.bin", "-usb", "--watch"},
      {"program", "img.bin", "COM1", "-b0"},
      {"flash", "img.bin"},
      {"list", "extra"},
  };
  ExpectEachRefusedInOneLine(bad);
  EXPECT_EQ(FirstRepeated({"/dev/ttyUSB0", "/dev/ttyS0", "/dev/ttyUSB0"}), "/dev/ttyUSB0");
  EXPECT_EQ(FirstRepeated({"/dev/ttyUSB0", "/dev/ttyS0"}), "");
}

TEST(StationCommandLine, HungBoundGrowsWithTheImageAndTheSlowRate) {
  double small = DerivedTimeoutSeconds(96 * 1024, 115200, 0);
  double big = DerivedTimeoutSeconds(2 * 1024 * 1024, 115200, 0);
  EXPECT_GT(small, 96 * 1024 * 11.0 / 115200);  // never below the line time itself
  EXPECT_GT(big, 2 * 1024 * 1024 * 11.0 / 115200 * 2);
  EXPECT_GT(DerivedTimeoutSeconds(96 * 1024, 9600, 0), small);
  EXPECT_LT(DerivedTimeoutSeconds(96 * 1024, 9600, 460800), DerivedTimeoutSeconds(96 * 1024, 9600, 0));
}

}  // namespace
