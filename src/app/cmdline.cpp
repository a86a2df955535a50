#include "app/cmdline.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "link/ethernet/eth_link.h"

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

constexpr const char* kBannerFormat = "\nPendrel %s - Loads raw flash data files into the Talo device\n";
constexpr const char* kNotice = "Copyright (c) 2026 Pendrel developers\n\n";

constexpr const char* kUsageBody[] = {
    // One line of the text in two literals: the parentheses say so.
    ("Usage:  Pendrel filename {-pserial_port|-usb|-eth} [-bbaudrate] [-ubaudrate] [-nocts] "
     "[-wpassword]\n\n"),
    "        -pserial_port Select serial port with name 'serial_port'\n",
    "        -bbaudrate    Set command baudrate to 'baudrate'\n",
    "                      (300..115200 baud, default 115200 baud)\n",
    "        -ubaudrate    Set upload baudrate to 'baudrate'\n",
    "                      (300..460800 baud, default is command baudrate)\n",
    "        -nocts        Ignore CTS pin of serial port for sending\n",
    "        -usb          Use USB port instead of serial port\n",
    "        -eth          Use Ethernet instead of serial port\n",
    "        -wpassword    Specify password for the device. (max length = 16)\n",
    "                      This option only has an effect if Ethernet is used \n",
    "\n",
    "Note:   Select the file type 'Flash Raw Data (*.mifo-rflash)' or\n",
    "        'Raw Talo Application Data (*.ovx)' on the File->Export\n",
    "        screen of the Talo Composer program to create raw flash\n",
    "        files suitable for Pendrel.\n",
    "\n",
    "CAVEAT: Ensure the Talo device is not being connected to some other\n",
    "        software (like Talo Composer) while working with this software.\n\n",
};

}  // namespace

int32_t ReadNumber(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;  // saturate, as atol does
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}

RunOptions ParseCommandLine(int argc, const char* const* argv) {
  RunOptions o;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    std::string_view a(arg);
    if (a.empty() || a[0] != '-') {
      o.fileName = a;
      o.hasFileName = true;
    } else if (a == "-nocts") {
      o.noCts = true;
    } else if (StartsWith(a, "-p")) {
      o.portName = a.substr(2);
      o.hasPortName = true;
    } else if (StartsWith(a, "-b")) {
      o.commandBaudRate = ReadNumber(arg + 2);
    } else if (a == "-usb") {
      o.kind = LinkKind::UsbHid;
    } else if (a == "-eth") {
      o.kind = LinkKind::Ethernet;
      EthStartup();  // a failure stays in the last status; the open reports it
    } else if (StartsWith(a, "-u")) {
      o.uploadBaudRate = ReadNumber(arg + 2);
    } else if (StartsWith(a, "-w")) {
      o.hasPassword = true;
      if (!SetEthPassword(a.substr(2))) o.invalid = true;
    } else {
      o.invalid = true;
    }
  }
  return o;
}

bool IsUsable(const RunOptions& o) {
  return !o.invalid && (o.hasPortName || o.kind != LinkKind::Serial) && o.hasFileName &&
         o.commandBaudRate != 0;
}

void PrintBanner() {
  std::printf(kBannerFormat, kVersionText);
  std::fputs(kNotice, stdout);
  // Shown before the link's search and handshake, which take seconds.
  std::fflush(stdout);
}

void PrintUsage() {
  PrintBanner();
  for (const char* piece : kUsageBody) std::fputs(piece, stdout);
}
