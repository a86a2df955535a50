#include "unit.h"

#include <cstdio>

namespace {

std::string Format(const char* format, double a, double b = 0, double c = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

// What the run wrote: a complete run the whole image; one cut short its last
// progress figure, which counts whole kB.
uint64_t BytesWritten(const UnitResult& r, uint64_t imageBytes) {
  if (r.ok) return imageBytes;
  uint64_t counted = static_cast<uint64_t>(r.kb > 0 ? r.kb : 0) * 1024;
  return counted < imageBytes ? counted : imageBytes;
}

}  // namespace

UnitResult ResultOfRun(const Unit& u, uint64_t imageBytes, int exitCode, bool crashed, const std::string& how,
                       double now, const std::string& nowUtc) {
  UnitResult r;
  r.port = u.name;
  r.link = LinkWord(u.link);
  r.usbSerial = u.usbSerial;
  r.usbLocation = u.usbLocation;
  r.identification = u.out.identification;
  r.pendrelVersion = u.out.version;
  r.startedUtc = u.startedUtc;
  r.endedUtc = nowUtc;
  r.seconds = now - u.startedAt;
  r.kb = u.out.writtenKb;
  r.exitCode = (crashed || !u.killedFor.empty()) ? -1 : exitCode;
  std::string said = FailureText(u.out);
  if (!u.killedFor.empty()) {
    r.failure = u.killedFor;
    if (!said.empty()) r.failure += ": " + said;
  } else if (crashed) {
    r.failure = "pendrel crashed (" + how + ")";
    if (!said.empty()) r.failure += ": " + said;
  } else if (exitCode != 0) {
    r.failure = said.empty() ? "pendrel ended with exit code " + std::to_string(exitCode) : said;
  } else if (!u.out.writeOk) {
    // Exit code 0 and no finished write: not a run we can vouch for.
    r.failure = "pendrel ended with exit code 0 without a complete write";
    if (!said.empty()) r.failure += ": " + said;
  } else {
    r.ok = true;
  }
  r.bytes = BytesWritten(r, imageBytes);
  if (u.out.writing && u.writeStartedAt > 0 && now > u.writeStartedAt)
    r.bytesPerSecond = static_cast<double>(r.bytes) / (now - u.writeStartedAt);
  return r;
}

bool FeedPresence(SettledPresence& p, bool present, double now, double settleSeconds) {
  if (present != p.reading) {
    p.reading = present;
    p.since = now;
  }
  if (p.settled == p.reading || now - p.since < settleSeconds) return false;
  p.settled = p.reading;
  return true;
}

std::string UnitStatusText(const Unit& u) {
  std::string ident = u.out.identified ? u.out.identification : std::string();
  switch (u.phase) {
    case UnitPhase::Waiting:
      return u.runs == 0 ? "waiting for a board"
                         : "waiting for the next board (" + std::to_string(u.runs - u.failures) + " ok, " +
                               std::to_string(u.failures) + " failed)";
    case UnitPhase::Queued: return "queued";
    case UnitPhase::Running:
      if (!u.out.bannerSeen) return "starting";
      if (!u.out.identified) return "connecting";
      if (!u.out.writing || u.out.totalKb < 0) return ident;
      return ident + "  " + std::to_string(u.out.writtenKb) + "kB of " + std::to_string(u.out.totalKb) +
             "kB (" + std::to_string(u.out.percent) + "%)";
    case UnitPhase::Finished:
    case UnitPhase::Removing: {
      std::string text;
      if (!u.hasResult) return "";
      if (u.last.ok)
        text = ident + "  ok  " + std::to_string(u.last.kb) + "kB in " + Format("%.1f s", u.last.seconds);
      else text = "FAILED: " + u.last.failure;
      if (u.phase == UnitPhase::Removing) text += "  - remove the board";
      return text;
    }
  }
  return "";
}
