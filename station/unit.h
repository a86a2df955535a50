// One controller the station programs: its link, where it stands, and what
// its last run came to.
#pragma once

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
  std::string usbSerial;
  std::string identification;
  bool ok = false;
  int exitCode = -1;       // -1: no exit code (crashed, killed, not started)
  std::string failure;     // pendrel's own text, or what the station saw
  long kb = 0;             // kB written, as pendrel counted them
  double seconds = 0;      // the whole pendrel run
  double kbPerSecond = 0;  // kB over the writing time
  std::string startedUtc;
  std::string endedUtc;
};

struct Unit {
  std::string name;                   // shown and recorded: the port, "usb" or "eth"
  std::string port;                   // the serial port as named; empty for USB and Ethernet
  std::vector<std::string> linkArgs;  // -pPORT, -usb or -eth
  UnitPhase phase = UnitPhase::Queued;
  int child = -1;
  PendrelOutput out;
  double startedAt = 0;
  double writeStartedAt = 0;
  double lastProgressReport = -1;
  std::string startedUtc;
  std::string usbSerial;
  std::string killedFor;  // why the station ended the child, if it did
  int runs = 0, failures = 0;
  bool hasResult = false;
  UnitResult last;
};

// The result of a run from what pendrel printed and how it ended.
UnitResult ResultOfRun(const Unit& u, int exitCode, bool crashed, const std::string& how, double now,
                       const std::string& nowUtc);
// The line a unit shows in the terminal view, without the port column.
std::string UnitStatusText(const Unit& u);
