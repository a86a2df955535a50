// The station's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "unit_name.h"

enum class StationCommand { Program, List, Report, Help, Version };

// Long enough to outlast a controller's re-enumeration when pendrel reboots
// it, short enough that an operator hardly waits for it (--settle).
inline constexpr double kDefaultSettleSeconds = 1.5;

struct StationOptions {
  StationCommand command = StationCommand::Help;
  std::string image;
  std::vector<UnitName> units;  // as the user named them: ports, usb:..., eth:...
  bool allSerial = false;
  bool usb = false;
  bool eth = false;
  bool json = false;
  bool watch = false;
  double settleSeconds = kDefaultSettleSeconds;  // --watch: how long a socket's presence must stand
  bool settleGiven = false;
  bool listEth = false;       // list --eth: one discovery broadcast
  int jobs = 0;               // 0: every unit at once
  double timeoutSeconds = 0;  // 0: derived from the image size and the rate
  std::string logPath;
  std::string pendrelPath;
  std::vector<std::string> passOn;  // -b -u -nocts, given to every pendrel as they stand
  std::string password;             // -w: to every pendrel through its environment
  long commandRate = 115200;
  long uploadRate = 0;
  // report
  std::vector<std::string> logs;
  std::string htmlPath;
  int64_t sinceMs = INT64_MIN, untilMs = INT64_MAX;  // UTC, milliseconds since 1970
  double goalPercent = 95;                           // the first-pass yield a good day reaches
};

// False with a one-line reason in *error for input the station cannot run with.
bool ParseStationArgs(int argc, const char* const* argv, StationOptions* o, std::string* error);
// Among names already in canonical form, the first one given twice; empty when none.
std::string FirstRepeated(const std::vector<std::string>& canonicalNames);
// How long one unit may take before it counts as hung: the image at the
// rate it is written at, 11 bits a byte, three times over, plus a start-up margin.
double DerivedTimeoutSeconds(unsigned long long imageBytes, long commandRate, long uploadRate);
void PrintStationUsage();
