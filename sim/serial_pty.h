// The serial front end's pseudo-terminal. The host opens the slave as its
// serial port; the simulator talks through the master and keeps a slave
// descriptor of its own, so the line does not hang up between host opens
// and the host's line settings persist.
#pragma once

#include <cstdint>
#include <string>

#include "engine/line.h"

struct PtyPair {
  int master = -1;  // non-blocking
  int slave = -1;   // held open, never read
  std::string slavePath;
  PtyPair() = default;
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
  ~PtyPair();
};

// openpty, slave in raw mode (so that nothing is echoed back to us before
// the host configures the line), master non-blocking. false with a message
// printed on failure.
bool PtyOpen(PtyPair& pty);
void PtyClose(PtyPair& pty);

// The line settings the host last gave its end (a pty keeps one set for
// both ends; termios2 so that non-standard rates read back exactly).
bool PtyReadLineSettings(int fd, sim::SimLineSettings& settings);

// Bytes still waiting in the slave's input queue, i.e. not yet read by the
// host; -1 when unknown.
int PtyPendingToHost(const PtyPair& pty);
