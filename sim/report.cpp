#include "report.h"

#include <algorithm>
#include <vector>

namespace {

struct KindName {
  sim::SimRecordKind kind;
  const char* name;
};
constexpr KindName kKindNames[] = {
    {sim::SimRecordKind::Frame, "frame"},          {sim::SimRecordKind::Garbage, "garbage"},
    {sim::SimRecordKind::Truncated, "truncated"},  {sim::SimRecordKind::Fault, "fault"},
    {sim::SimRecordKind::HostFault, "host-fault"}, {sim::SimRecordKind::Note, "note"},
};

const char* KindText(sim::SimRecordKind kind) {
  for (const KindName& k : kKindNames)
    if (k.kind == kind) return k.name;
  return "?";
}

double MillisecondsSinceStart(const SimReport& report) {
  auto elapsed = std::chrono::steady_clock::now() - report.start;
  return std::chrono::duration<double, std::milli>(elapsed).count();
}

void WriteLogLine(SimReport& report, std::string_view event, std::string_view fields) {
  if (!report.log) return;
  std::fprintf(report.log.get(), "{\"t\":%.3f,\"event\":%s%s%.*s}\n", MillisecondsSinceStart(report),
               JsonString(event).c_str(), fields.empty() ? "" : ",", static_cast<int>(fields.size()),
               fields.data());
  std::fflush(report.log.get());
}

// Frames are printed only with --verbose; everything else unless --quiet.
void OnRecord(SimReport& report, const sim::SimRecord& record) {
  std::string fields = "\"command\":" + JsonString(record.command);
  if (!record.frame.empty())
    fields += ",\"frame\":\"" + HexBytes(record.frame.data(), record.frame.size()) + "\"";
  if (record.kind == sim::SimRecordKind::Frame || !record.reply.empty())
    fields += ",\"reply\":\"" + HexBytes(record.reply.data(), record.reply.size()) + "\"";
  if (!record.text.empty()) fields += ",\"text\":" + JsonString(record.text);
  WriteLogLine(report, KindText(record.kind), fields);

  bool show = record.kind == sim::SimRecordKind::Frame ? report.verbose : !report.quiet;
  if (!show) return;
  if (record.kind == sim::SimRecordKind::Frame) {
    size_t shown = std::min<size_t>(record.frame.size(), 16);
    std::printf(
        "talo-sim: %s %s%s -> %s\n", record.command.c_str(), HexBytes(record.frame.data(), shown).c_str(),
        shown < record.frame.size() ? "..." : "",
        record.reply.empty() ? "(no reply)" : HexBytes(record.reply.data(), record.reply.size()).c_str());
  } else {
    std::printf("talo-sim: %s%s%s: %s\n", KindText(record.kind), record.command.empty() ? "" : " ",
                record.command.c_str(), record.text.c_str());
  }
  std::fflush(stdout);
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

bool ReportOpen(SimReport& report, FrontEndOptions& options) {
  report.verbose = options.verbose;
  report.quiet = options.quiet;
  if (!options.logPath.empty()) {
    report.log.reset(std::fopen(options.logPath.c_str(), "w"));
    if (!report.log) {
      std::printf("talo-sim: cannot create log %s\n", options.logPath.c_str());
      return false;
    }
  }
  options.config.log = [&report](const sim::SimRecord& record) { OnRecord(report, record); };
  return true;
}

void ReportEvent(SimReport& report, std::string_view event, std::string_view fields,
                 std::string_view console) {
  WriteLogLine(report, event, fields);
  if (!console.empty() && !report.quiet) {
    std::printf("talo-sim: %.*s\n", static_cast<int>(console.size()), console.data());
    std::fflush(stdout);
  }
}

int ReportFinish(SimReport& report, const sim::SimEngine& engine, const FrontEndOptions& options,
                 std::string_view endReason) {
  int code = 0;
  if (!options.flashOutPath.empty()) {
    std::vector<uint8_t> image = sim::SimFlashImage(engine);
    std::unique_ptr<std::FILE, ReportFileCloser> file(std::fopen(options.flashOutPath.c_str(), "wb"));
    // An empty image is a valid empty file; fwrite must not see its null data().
    bool ok =
        file && (image.empty() || std::fwrite(image.data(), 1, image.size(), file.get()) == image.size());
    ok = ok && std::fclose(file.release()) == 0;
    if (!ok) {
      std::printf("talo-sim: cannot write flash contents to %s\n", options.flashOutPath.c_str());
      code = 2;
    }
  }
  sim::SimStats stats = sim::SimGetStats(engine);
  char fields[200];
  std::snprintf(
      fields, sizeof fields,
      "\"frames\":%u,\"bytesWritten\":%llu,\"hostFaults\":%u,\"reboots\":%u,\"controllerTimeUs\":%llu,"
      "\"end\":",
      stats.frames, static_cast<unsigned long long>(stats.bytesWritten), stats.hostFaults, stats.reboots,
      static_cast<unsigned long long>(stats.controllerTimeUs));
  std::string extra = report.summaryFields.empty() ? "" : "," + report.summaryFields;
  WriteLogLine(report, "summary", std::string(fields) + JsonString(endReason) + extra);
  std::printf("talo-sim: summary: %u frames, %llu bytes written, %u host faults (%.*s)\n", stats.frames,
              static_cast<unsigned long long>(stats.bytesWritten), stats.hostFaults,
              static_cast<int>(endReason.size()), endReason.data());
  if (!report.summaryLine.empty()) std::printf("talo-sim: %s\n", report.summaryLine.c_str());
  std::fflush(stdout);
  if (code == 0 && stats.hostFaults != 0) code = 1;
  return code;
}
