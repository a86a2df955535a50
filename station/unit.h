// One controller the station programs: its link, where it stands, and what
// its last run came to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pendrel_output.h"
#include "unit_name.h"

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
  std::string usbLocation;  // a USB unit's controller: where it is plugged in
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

// A watched socket's presence as it has stood for the settle time: a
// re-enumeration blip or a bouncing contact shorter than that changes nothing.
struct SettledPresence {
  bool reading = false;  // the last reading
  double since = 0;      // when the reading last changed
  bool settled = false;  // what has lasted the settle time
};

struct Unit {
  std::string name;  // shown and recorded: as the user named it, "usb" or "eth"
  UnitLink link = UnitLink::Serial;
  std::string target;  // the serial port, or what names the controller to pendrel
  UnitPhase phase = UnitPhase::Queued;
  int child = -1;
  PendrelOutput out;
  double startedAt = 0;
  double writeStartedAt = 0;
  double lastProgressReport = -1;
  std::string startedUtc;
  std::string usbSerial;
  std::string usbLocation;  // the USB port a USB unit's controller is on, when known
  SettledPresence presence;
  std::string killedFor;  // why the station ended the child, if it did
  int runs = 0, failures = 0;
  bool hasResult = false;
  UnitResult last;
};

// The result of a run from what pendrel printed and how it ended; imageBytes:
// the image's data length, what a complete run writes.
UnitResult ResultOfRun(const Unit& u, uint64_t imageBytes, int exitCode, bool crashed, const std::string& how,
                       double now, const std::string& nowUtc);
// Takes one reading of the socket; true when its settled presence changed with it.
bool FeedPresence(SettledPresence& p, bool present, double now, double settleSeconds);
// The line a unit shows in the terminal view, without the port column.
std::string UnitStatusText(const Unit& u);
