#include "report.h"

#include <cstdarg>

namespace {

std::string Printf(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string Seconds(double s) { return Printf("%.3f", s); }

void EmitJson(const std::string& object) {
  std::fputs(object.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string JsonHead(const char* event, const Unit& u, const std::string& time) {
  return "{\"event\":\"" + std::string(event) + "\",\"time\":\"" + time + "\",\"port\":" + JsonString(u.name);
}

void PlainLine(const Unit& u, const std::string& text) {
  std::printf("%s: %s\n", u.name.c_str(), text.c_str());
  std::fflush(stdout);
}

std::string ResultJsonFields(const Reporter& r, const UnitResult& res) {
  std::string s = ",\"result\":\"" + std::string(res.ok ? "ok" : "failed") + "\"";
  s += ",\"exit_code\":" + (res.exitCode < 0 ? std::string("null") : std::to_string(res.exitCode));
  s += ",\"failure\":" + (res.ok ? std::string("null") : JsonString(res.failure));
  s += ",\"identification\":" + (res.identification.empty() ? "null" : JsonString(res.identification));
  s += ",\"bytes\":" + std::to_string(res.kb * 1024L);
  s += ",\"seconds\":" + Seconds(res.seconds);
  s += ",\"kbps\":" + Printf("%.1f", res.kbPerSecond);
  s += ",\"image\":" + JsonString(r.image) + ",\"sha256\":\"" + r.sha256 + "\"";
  return s;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) out += Printf("\\u%04x", c);
        else out += static_cast<char>(c);  // UTF-8 passes as it is
    }
  }
  return out + "\"";
}

void ReportStart(Reporter& r, const Unit& u) {
  if (r.mode == ViewMode::Json) EmitJson(JsonHead("start", u, u.startedUtc) + "}");
  else if (r.mode == ViewMode::Plain) PlainLine(u, "start");
}

void ReportIdentification(Reporter& r, const Unit& u) {
  if (r.mode == ViewMode::Json)
    EmitJson(JsonHead("identification", u, UtcTimestamp()) +
             ",\"identification\":" + JsonString(u.out.identification) + "}");
  else if (r.mode == ViewMode::Plain) PlainLine(u, u.out.identification);
}

void ReportProgress(Reporter& r, const Unit& u) {
  if (r.mode == ViewMode::Json)
    EmitJson(JsonHead("progress", u, UtcTimestamp()) + ",\"kb\":" + std::to_string(u.out.writtenKb) +
             ",\"total_kb\":" + std::to_string(u.out.totalKb) +
             ",\"percent\":" + std::to_string(u.out.percent) + "}");
  else if (r.mode == ViewMode::Plain)
    PlainLine(u, Printf("%ldkB of %ldkB (%ld%%)", u.out.writtenKb, u.out.totalKb, u.out.percent));
}

void ReportEnd(Reporter& r, const Unit& u) {
  const UnitResult& res = u.last;
  if (r.mode == ViewMode::Json) {
    EmitJson(JsonHead("end", u, res.endedUtc) + ResultJsonFields(r, res) + "}");
  } else if (r.mode == ViewMode::Plain) {
    if (res.ok) PlainLine(u, Printf("ok, %ldkB in %.1f s (%.1f kB/s)", res.kb, res.seconds, res.kbPerSecond));
    else PlainLine(u, "FAILED: " + res.failure);
  }
}

void ReportPresence(Reporter& r, const Unit& u, bool present) {
  if (r.mode == ViewMode::Json) EmitJson(JsonHead(present ? "present" : "gone", u, UtcTimestamp()) + "}");
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
    EmitJson(
        Printf("{\"event\":\"summary\",\"time\":\"%s\",\"units\":%zu,\"ok\":%zu,\"failed\":%zu,"
               "\"interrupted\":%s}",
               UtcTimestamp().c_str(), results.size(), ok, failed, interrupted ? "true" : "false"));
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
  std::string line = "{\"time\":\"" + res.endedUtc + "\",\"started\":\"" + res.startedUtc +
                     "\",\"port\":" + JsonString(res.port) +
                     ",\"usb_serial\":" + (res.usbSerial.empty() ? "null" : JsonString(res.usbSerial)) +
                     ResultJsonFields(r, res) + "}\n";
  // One write per record and a flush at once: a crash of the station loses no finished unit.
  bool written = std::fputs(line.c_str(), r.log) >= 0;
  return std::fflush(r.log) == 0 && written;
}
