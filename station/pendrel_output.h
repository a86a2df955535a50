// Reads pendrel's console output as it arrives, a chunk at a time. pendrel's
// output is a stable contract: the banner, one identification line, the
// progress line redrawn with backspaces, a status line, the exit prompt.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct PendrelOutput {
  std::string line;             // the line being printed, as a terminal would show it
  bool carriageReturn = false;  // "\r" seen; a "\n" next makes it a Windows line end
  bool bannerSeen = false;
  std::string version;    // the banner's, without its "V"
  std::string firstLine;  // first line after the banner, when not a status text
  std::string identification;
  bool identified = false;
  bool writing = false;  // the "Programming application data: " line has begun
  long totalKb = -1;
  long writtenKb = 0;
  long percent = 0;
  bool writeOk = false;               // " - Ok" after the progress
  std::vector<std::string> messages;  // every other line: pendrel's failure text
};

struct OutputNews {
  bool identified = false;
  bool writeStarted = false;
  bool progressed = false;
};

OutputNews FeedPendrelOutput(PendrelOutput& o, std::string_view bytes);
// The output has ended: a last line without a line end counts, unless it is
// the exit prompt.
void EndPendrelOutput(PendrelOutput& o);
// What pendrel said went wrong, its lines joined by ": "; empty when nothing.
std::string FailureText(const PendrelOutput& o);
