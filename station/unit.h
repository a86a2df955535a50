// One controller the station programs: its link, where it stands, and what
// its last run came to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pendrel_output.h"

enum class UnitPhase {
  Waiting,   // --watch: the port is not there yet
  Queued,    // ready, waiting for a free job
  Running,   // pendrel runs
  Finished,  // without --watch: done for good
  Removing,  // --watch: done, waiting for the board to go away
};

struct UnitResult {
  std::string port;
  std::string link;  // "serial", "usb", "eth"
  std::string usbSerial;
  std::string usbLocation;
  std::string identification;
  bool ok = false;
  int exitCode = -1;          // -1: no exit code (crashed, killed, not started)
  std::string failure;        // pendrel's own text, or what the station saw
  long kb = 0;                // kB written, as pendrel counted them
  uint64_t bytes = 0;         // the image's data length when ok, else kB x 1024 up to that length
  double seconds = 0;         // the whole pendrel run
  double bytesPerSecond = 0;  // bytes over the writing time
  std::string pendrelVersion;
  std::string startedUtc;
  std::string endedUtc;
};

struct Unit {
  std::string name;                   // shown and recorded: the port, "usb" or "eth"
  std::string port;                   // the serial port as named; empty for USB and Ethernet
  std::string link = "serial";        // "serial", "usb", "eth"
  std::vector<std::string> linkArgs;  // -pPORT, -usb or -eth
  UnitPhase phase = UnitPhase::Queued;
  int child = -1;
  PendrelOutput out;
  double startedAt = 0;
  double writeStartedAt = 0;
  double lastProgressReport = -1;
  std::string startedUtc;
  std::string usbSerial;
  std::string usbLocation;  // the USB port a USB unit's controller is on, when known
  std::string killedFor;    // why the station ended the child, if it did
  int runs = 0, failures = 0;
  bool hasResult = false;
  UnitResult last;
};

// The result of a run from what pendrel printed and how it ended; imageBytes:
// the image's data length, what a complete run writes.
UnitResult ResultOfRun(const Unit& u, uint64_t imageBytes, int exitCode, bool crashed, const std::string& how,
                       double now, const std::string& nowUtc);
// The line a unit shows in the terminal view, without the port column.
std::string UnitStatusText(const Unit& u);
