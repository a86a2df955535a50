// pendrel-station report: the logs read line by line, and the command itself.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "day_report.h"

using json = nlohmann::ordered_json;

namespace {

// A record that a crash tore off, with the next run's first record appended
// to it on the same line: the whole record that ends the line, or nothing.
bool RecordAfterTornOne(std::string_view text, LogRecord* r) {
  size_t at = 0;
  bool notJson = false;
  for (int tries = 0; tries < 16; ++tries) {
    at = text.find("{\"", at + 1);
    if (at == std::string::npos) return false;
    if (RecordFromLine(text.substr(at), r, &notJson).empty()) return true;
  }
  return false;
}

bool Blank(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

// One line: counted, skipped as torn, or false with *why.
bool TakeLine(const std::string& text, bool last, DayReport& d, RecordPlace place, std::string* why) {
  InputFile& input = d.inputs[place.file];
  thread_local LogRecord r;
  bool notJson = false;
  *why = RecordFromLine(text, &r, &notJson);
  if (notJson) {
    // The last line, unfinished: what a crash of the station in mid-write leaves.
    if (last) return ++input.torn, true;
    if (!RecordAfterTornOne(text, &r)) return false;
    ++input.torn;
  } else if (!why->empty()) {
    return false;
  }
  if (r.endedMs < d.sinceMs || r.endedMs >= d.untilMs) return ++input.outside, true;
  ++input.records;
  AddRecord(d, r, place);
  return true;
}

bool ReadLog(const std::string& path, DayReport& d, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read the log " + path + ": " + std::strerror(errno);
    return false;
  }
  RecordPlace place{static_cast<uint32_t>(d.inputs.size()), 0};
  d.inputs.push_back(InputFile{path});
  std::string text, why;
  while (std::getline(in, text)) {
    ++place.line;
    if (Blank(text)) continue;
    if (!TakeLine(text, in.eof(), d, place, &why)) {
      *error = path + ":" + std::to_string(place.line) + ": " + why;
      return false;
    }
  }
  if (in.bad()) *error = "cannot read the log " + path + ": " + std::strerror(errno);
  return !in.bad();
}

bool WriteFile(const std::string& path, const std::string& text, std::string* error) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  bool ok = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f != nullptr) ok = std::fclose(f) == 0 && ok;
  if (!ok) *error = "cannot write " + path + ": " + std::strerror(errno);
  return ok;
}

}  // namespace

bool ReadLogs(const std::vector<std::string>& paths, DayReport* d, std::string* error) {
  for (const std::string& path : paths)
    if (!ReadLog(path, *d, error)) return false;
  return true;
}

int RunDayReport(const StationOptions& o) {
  DayReport d;
  d.sinceMs = o.sinceMs;
  d.untilMs = o.untilMs;
  d.goalPercent = o.goalPercent;
  std::string error;
  if (!ReadLogs(o.logs, &d, &error)) {
    std::fprintf(stderr, "pendrel-station: %s\n", error.c_str());
    return 2;
  }
  FinishDayReport(d);
  json report = DayReportJson(d);
  if (!o.htmlPath.empty() && !WriteFile(o.htmlPath, DayReportHtml(report), &error)) {
    std::fprintf(stderr, "pendrel-station: %s\n", error.c_str());
    return 2;
  }
  std::string out =
      o.json ? report.dump(-1, ' ', false, json::error_handler_t::replace) + "\n" : DayReportTable(report);
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
  std::string verdict = report["verdict"];
  return verdict == "look_at_port" || verdict == "below_goal" ? 1 : 0;
}
