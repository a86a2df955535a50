// The station's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class StationCommand { Program, List, Report, Help, Version };

struct StationOptions {
  StationCommand command = StationCommand::Help;
  std::string image;
  std::vector<std::string> ports;  // serial ports as the user named them
  bool allSerial = false;
  bool usb = false;
  bool eth = false;
  bool json = false;
  bool watch = false;
  int jobs = 0;               // 0: every unit at once
  double timeoutSeconds = 0;  // 0: derived from the image size and the rate
  std::string logPath;
  std::string pendrelPath;
  std::vector<std::string> passOn;  // -b -u -nocts -w, given to every pendrel as they stand
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
