#include "report.h"
#include "text_format.h"

#include <cmath>
#include <cstdarg>
#include <nlohmann/json.hpp>

namespace {

// Key order kept as written, so that a record reads the same every time.
using Record = nlohmann::ordered_json;

// Every event and log record says which version of the record it is.
constexpr int kRecordVersion = 2;

// Texts the system gave us, as UTF-8; null when there is none.
Record Text(const std::string& text) { return Utf8FromSystemText(text); }
Record TextOrNull(const std::string& text) { return text.empty() ? Record(nullptr) : Text(text); }

// Decimal places kept: dividing by a power of ten gives the double nearest the short decimal.
double Rounded(double value, double scale) { return std::round(value * scale) / scale; }

void EmitJson(const Record& record) {
  // Whatever is still not UTF-8 is replaced, never copied: every line is valid JSON.
  std::string line = record.dump(-1, ' ', false, Record::error_handler_t::replace);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

Record Event(const char* event, const Unit& u, const std::string& time) {
  return Record{{"version", kRecordVersion}, {"event", event}, {"time", time}, {"port", Text(u.name)}};
}

void PlainLine(const Unit& u, const std::string& text) {
  std::printf("%s: %s\n", u.name.c_str(), text.c_str());
  std::fflush(stdout);
}

// The fields of a finished run, shared by the end event and the log record.
void AddResult(Record& rec, const Reporter& r, const UnitResult& res) {
  rec["link"] = res.link;
  rec["usb_serial"] = TextOrNull(res.usbSerial);
  rec["usb_location"] = TextOrNull(res.usbLocation);
  rec["result"] = res.ok ? "ok" : "failed";
  rec["exit_code"] = res.exitCode < 0 ? Record(nullptr) : Record(res.exitCode);
  rec["failure"] = res.ok ? Record(nullptr) : Text(res.failure);
  rec["identification"] = TextOrNull(res.identification);
  rec["bytes"] = res.bytes;
  rec["seconds"] = Rounded(res.seconds, 1000);
  rec["bytes_per_second"] = Rounded(res.bytesPerSecond, 10);
  rec["image"] = Text(r.image);
  rec["sha256"] = r.sha256;
  rec["pendrel_version"] = TextOrNull(res.pendrelVersion);
}

}  // namespace

void ReportStart(Reporter& r, const Unit& u) {
  if (r.mode == ViewMode::Json) EmitJson(Event("start", u, u.startedUtc));
  else if (r.mode == ViewMode::Plain) PlainLine(u, "start");
}

void ReportIdentification(Reporter& r, const Unit& u) {
  if (r.mode == ViewMode::Json) {
    Record e = Event("identification", u, UtcTimestamp());
    e["identification"] = Text(u.out.identification);
    EmitJson(e);
  } else if (r.mode == ViewMode::Plain) {
    PlainLine(u, u.out.identification);
  }
}

void ReportProgress(Reporter& r, const Unit& u) {
  if (r.mode == ViewMode::Json) {
    Record e = Event("progress", u, UtcTimestamp());
    e["kb"] = u.out.writtenKb;
    e["total_kb"] = u.out.totalKb;
    e["percent"] = u.out.percent;
    EmitJson(e);
  } else if (r.mode == ViewMode::Plain) {
    PlainLine(u, Printf("%ldkB of %ldkB (%ld%%)", u.out.writtenKb, u.out.totalKb, u.out.percent));
  }
}

void ReportEnd(Reporter& r, const Unit& u) {
  const UnitResult& res = u.last;
  if (r.mode == ViewMode::Json) {
    Record e = Event("end", u, res.endedUtc);
    AddResult(e, r, res);
    EmitJson(e);
  } else if (r.mode == ViewMode::Plain) {
    if (res.ok)
      PlainLine(u, Printf("ok, %ldkB in %.1f s (%.1f kB/s)", res.kb, res.seconds, res.bytesPerSecond / 1024));
    else PlainLine(u, "FAILED: " + res.failure);
  }
}

void ReportPresence(Reporter& r, const Unit& u, bool present) {
  if (r.mode == ViewMode::Json) EmitJson(Event(present ? "present" : "gone", u, UtcTimestamp()));
  else if (r.mode == ViewMode::Plain) PlainLine(u, present ? "board present" : "board gone");
}

void DrawUnits(Reporter& r, const std::vector<Unit>& units, double now, bool force) {
  if (r.mode != ViewMode::Terminal) return;
  if (!force && r.lastDraw >= 0 && now - r.lastDraw < 0.1) return;
  r.lastDraw = now;
  size_t width = 0;
  for (const Unit& u : units) width = u.name.size() > width ? u.name.size() : width;
  std::string frame;
  if (r.drawnLines > 0) frame += Printf("\x1b[%dA", r.drawnLines);
  for (const Unit& u : units) {
    std::string line = u.name + std::string(width - u.name.size() + 2, ' ') + UnitStatusText(u);
    // A line longer than the terminal would wrap and spoil the count we move back by.
    size_t room = r.columns > 1 ? static_cast<size_t>(r.columns - 1) : 79;
    if (line.size() > room) line.resize(room);
    frame += "\r\x1b[2K" + line + "\n";
  }
  r.drawnLines = static_cast<int>(units.size());
  std::fputs(frame.c_str(), stdout);
  std::fflush(stdout);
}

void ReportSummary(Reporter& r, const std::vector<UnitResult>& results, bool interrupted) {
  size_t ok = 0;
  for (const UnitResult& res : results) ok += res.ok ? 1 : 0;
  size_t failed = results.size() - ok;
  // With --json, standard output carries JSON lines only; the table goes to standard error.
  std::FILE* out = r.mode == ViewMode::Json ? stderr : stdout;
  if (r.mode == ViewMode::Json)
    EmitJson(Record{{"version", kRecordVersion},
                    {"event", "summary"},
                    {"time", UtcTimestamp()},
                    {"units", results.size()},
                    {"ok", ok},
                    {"failed", failed},
                    {"interrupted", interrupted}});
  size_t width = 4;
  for (const UnitResult& res : results) width = res.port.size() > width ? res.port.size() : width;
  int w = static_cast<int>(width);
  std::fprintf(out, "\n%-*s  %-6s  %7s  %6s  %s\n", w, "port", "result", "seconds", "kB",
               "identification / failure");
  for (const UnitResult& res : results)
    std::fprintf(out, "%-*s  %-6s  %7.1f  %6ld  %s\n", w, res.port.c_str(), res.ok ? "ok" : "FAILED",
                 res.seconds, res.kb, (res.ok ? res.identification : res.failure).c_str());
  std::fprintf(out, "%zu unit%s: %zu ok, %zu failed%s\n", results.size(), results.size() == 1 ? "" : "s", ok,
               failed, interrupted ? " (interrupted)" : "");
  std::fflush(out);
}

bool AppendLogRecord(Reporter& r, const UnitResult& res) {
  if (r.log == nullptr) return true;
  Record rec{{"version", kRecordVersion},
             {"time", res.endedUtc},
             {"started", res.startedUtc},
             {"port", Text(res.port)}};
  AddResult(rec, r, res);
  std::string line = rec.dump(-1, ' ', false, Record::error_handler_t::replace) + "\n";
  // One write per record and a flush at once: a crash of the station loses no finished unit.
  bool written = std::fputs(line.c_str(), r.log) >= 0;
  return std::fflush(r.log) == 0 && written;
}
