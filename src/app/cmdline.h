// The command line: parsing into run options, validity, usage text, banner.
#pragma once

#include <cstdint>
#include <string>

#include "link/link.h"
#include "pendrel_version.h"

inline constexpr const char* kVersionText = "V" PENDREL_VERSION;

struct RunOptions {
  bool hasFileName = false;
  std::string fileName;
  bool hasPortName = false;
  std::string portName;
  int32_t commandBaudRate = 115200;
  int32_t uploadBaudRate = 0;
  bool noCts = false;
  bool hasPassword = false;  // a -w was given, so PENDREL_PASSWORD is not read
  bool invalid = false;
  LinkKind kind = LinkKind::Serial;
};

// Reads the arguments after the program name, option by option; "-eth"
// starts the socket layer and "-w" stores the device password on the way.
RunOptions ParseCommandLine(int argc, const char* const* argv);
bool IsUsable(const RunOptions& options);
// The standard atol's reading, saturated to 32 bits as on Windows.
int32_t ReadNumber(const char* text);

void PrintBanner();  // pieces 1 and 2 of the usage text
void PrintUsage();   // all pieces
