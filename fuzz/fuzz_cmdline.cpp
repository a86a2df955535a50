// The command line from arbitrary argument vectors, and the run it starts.
//
// Input: the length of a serial controller's reply bytes (1 byte), those
// bytes, then the arguments, separated by zero bytes.
//
// Beyond crash-freedom: the parse follows the rules option by option (file
// name, port, rates read like atol, the last of -usb/-eth, a socket start
// for every -eth, the password when it fits, anything unknown invalid); a
// refused command line never opens a link and ends with 1; a run that ends
// with 0 was usable, rebooted the controller last and closed the link; every
// run leaves the link closed. USB finds no device, Ethernet no controller,
// so only a serial run can succeed. File names are only used when they name
// a file of our temporary directory (an arbitrary path could be a FIFO and
// hold the open for ever).
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "app/cmdline.h"
#include "app/run.h"
#include "base/status.h"
#include "fuzz_support.h"
#include "link/ethernet/eth_state.h"
#include "link/link.h"

namespace {

using fuzz::Bytes;
using fuzz::FakeSerial;

int32_t ReferenceAtol(const std::string& text) {
  errno = 0;
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool Begins(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

struct Expected {
  RunOptions options;
  uint32_t ethStarts = 0;
  std::string password;
};

// The rules, first match wins.
Expected ReferenceParse(const std::vector<std::string>& args) {
  Expected e;
  RunOptions& o = e.options;
  for (const std::string& a : args) {
    if (a.empty() || a[0] != '-') {
      o.fileName = a, o.hasFileName = true;
    } else if (a == "-nocts") {
      o.noCts = true;
    } else if (Begins(a, "-p")) {
      o.portName = a.substr(2), o.hasPortName = true;
    } else if (Begins(a, "-b")) {
      o.commandBaudRate = ReferenceAtol(a.substr(2));
    } else if (a == "-usb") {
      o.kind = LinkKind::UsbHid;
    } else if (a == "-eth") {
      o.kind = LinkKind::Ethernet;
      ++e.ethStarts;
    } else if (Begins(a, "-u")) {
      o.uploadBaudRate = ReferenceAtol(a.substr(2));
    } else if (Begins(a, "-w")) {
      if (a.size() - 2 <= 16) e.password = a.substr(2);
      else o.invalid = true;
    } else {
      o.invalid = true;
    }
  }
  return e;
}

bool FileIsOurs(const std::string& name) { return name == "image" || name == "bad" || name == "missing"; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceStdout();
  Bytes image = fuzz::MakeImage(600, "TXC5110");
  fuzz::WriteTempFile("image", image);
  image[200] ^= 1;
  fuzz::WriteTempFile("bad", image);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in{{data, size}};
  Bytes reply = in.Take(in.Byte());
  Bytes rest = in.Rest();

  std::vector<std::string> args;
  if (!rest.empty()) {
    std::string current;
    for (uint8_t c : rest) {
      if (c == 0) {
        args.push_back(current);
        current.clear();
      } else {
        current.push_back(static_cast<char>(c));
      }
    }
    args.push_back(current);
  }
  if (args.size() > 64) return 0;
  std::vector<const char*> argv = {"pendrel"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  fuzz::ResetProcessState();
  fuzz::InstallFakeSockets();
  fuzz::InstallEmptyUsb();
  fuzz::InstallFakeSerial();
  FakeSerial.incoming.assign(reply.begin(), reply.end());

  RunOptions o = ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data());
  Expected e = ReferenceParse(args);
  FUZZ_CHECK(o.hasFileName == e.options.hasFileName && o.fileName == e.options.fileName);
  FUZZ_CHECK(o.hasPortName == e.options.hasPortName && o.portName == e.options.portName);
  FUZZ_CHECK(o.commandBaudRate == e.options.commandBaudRate);
  FUZZ_CHECK(o.uploadBaudRate == e.options.uploadBaudRate);
  FUZZ_CHECK(o.noCts == e.options.noCts && o.invalid == e.options.invalid && o.kind == e.options.kind);
  FUZZ_CHECK(fuzz::FakeSocket.startups == e.ethStarts);
  FUZZ_CHECK(std::string(EthernetState.password.data()) == e.password.substr(0, e.password.find('\0')));

  bool usable = IsUsable(o);
  FUZZ_CHECK(usable == (!o.invalid && (o.hasPortName || o.kind != LinkKind::Serial) && o.hasFileName &&
                        o.commandBaudRate != 0));
  if (!usable) {
    // main prints the usage text and ends with 1 here; nothing is opened.
    FUZZ_CHECK(!LinkState.isOpen && FakeSerial.writes.empty() && fuzz::FakeSocket.connects == 0);
    return 0;
  }
  if (!FileIsOurs(o.fileName)) return 0;
  const std::string name = o.fileName;
  o.fileName = fuzz::TempDirectory() + "/" + name;

  int code = RunSequence(o);
  FUZZ_CHECK(code == 0 || code == 1);
  FUZZ_CHECK(!LinkState.isOpen);
  if (code == 0) {
    FUZZ_CHECK(o.kind == LinkKind::Serial && name == "image");
    FUZZ_CHECK(!FakeSerial.writes.empty());
    Bytes last;
    FUZZ_CHECK(fuzz::Unescape(FakeSerial.writes.back(), last));
    FUZZ_CHECK(last == (Bytes{0xAA, 0x23}));
  }
  // Each read took a reply byte or ended a transaction.
  FUZZ_CHECK(FakeSerial.misses <= FakeSerial.writes.size());
  return 0;
}
