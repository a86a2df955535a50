#include "day_report.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <string_view>

using nlohmann::json;

namespace {

// The top-level fields a record may carry; anything else is passed over.
enum FieldId {
  kVersion,
  kTime,
  kStarted,
  kPort,
  kLink,
  kUsbSerial,
  kUsbLocation,
  kResult,
  kFailure,
  kIdentification,
  kImage,
  kSha256,
  kSeconds,
  kBytes,
  kEvent,
  kFieldCount
};
constexpr std::string_view kFieldNames[kFieldCount] = {
    "version", "time",           "started", "port",   "link",    "usb_serial", "usb_location", "result",
    "failure", "identification", "image",   "sha256", "seconds", "bytes",      "event"};

struct RawField {
  enum Kind : uint8_t { Absent, Null, String, Integer, Number, Other } kind = Absent;
  std::string text;
  double number = 0;
};

struct RawRecord {
  bool object = false;
  std::array<RawField, kFieldCount> f;
};

// nlohmann's SAX interface: the top level's fields straight into a
// RawRecord, so that a line costs no tree of its own (a million lines a month).
struct TopLevelFields {
  RawRecord* raw;
  int depth = 0;
  int current = -1;  // the field whose value comes next, -1 when none we read

  RawField* Slot() { return raw->object && depth == 1 && current >= 0 ? &raw->f[current] : nullptr; }
  bool Set(RawField::Kind kind, double number = 0) {
    if (RawField* s = Slot()) s->kind = kind, s->number = number;
    return true;
  }
  bool null() { return Set(RawField::Null); }
  bool boolean(bool) { return Set(RawField::Other); }
  bool number_integer(int64_t v) { return Set(RawField::Integer, static_cast<double>(v)); }
  bool number_unsigned(uint64_t v) { return Set(RawField::Integer, static_cast<double>(v)); }
  bool number_float(double v, const std::string&) { return Set(RawField::Number, v); }
  bool string(std::string& v) {
    if (RawField* s = Slot()) s->kind = RawField::String, s->text.swap(v);
    return true;
  }
  bool binary(json::binary_t&) { return Set(RawField::Other); }
  bool start_object(size_t) {
    if (depth == 0) raw->object = true;
    else Set(RawField::Other);
    ++depth;
    return true;
  }
  bool end_object() { return --depth, current = -1, true; }
  bool start_array(size_t) { return Set(RawField::Other), ++depth, current = -1, true; }
  bool end_array() { return --depth, current = -1, true; }
  bool key(std::string& k) {
    if (depth != 1) return true;
    current = -1;
    for (int i = 0; i < kFieldCount; ++i)
      if (kFieldNames[i] == k) current = i;
    return true;
  }
  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }
};

// A record the station wrote with a Windows error text in the system's code
// page is not UTF-8: such bytes are read as Latin-1 rather than refused.
std::string AsUtf8(std::string_view line) {
  std::string out;
  for (size_t i = 0; i < line.size();) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool whole = n > 0 && i + n <= line.size();
    for (size_t k = 1; whole && k < n; ++k) whole = (static_cast<unsigned char>(line[i + k]) >> 6) == 2;
    if (whole) {
      out.append(line.substr(i, n));
      i += n;
      continue;
    }
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
    ++i;
  }
  return out;
}

bool ParseFields(std::string_view line, RawRecord* raw) {
  *raw = RawRecord{};
  TopLevelFields sax{raw};
  if (json::sax_parse(line.begin(), line.end(), &sax)) return true;
  *raw = RawRecord{};
  sax = TopLevelFields{raw};
  std::string latin = AsUtf8(line);
  return json::sax_parse(latin, &sax);
}

std::string Quoted(FieldId id) { return "\"" + std::string(kFieldNames[id]) + "\""; }

// A field that is a string, or null / absent when `optional`; "" or why not.
std::string TextField(RawRecord& raw, FieldId id, bool optional, std::string* out) {
  RawField& f = raw.f[id];
  out->clear();
  if (f.kind == RawField::String) out->swap(f.text);
  else if (!optional || (f.kind != RawField::Absent && f.kind != RawField::Null))
    return Quoted(id) + (f.kind == RawField::Absent ? " is missing" : " is not a string");
  return "";
}

std::string TimeField(RawRecord& raw, FieldId id, int64_t* ms) {
  std::string text;
  std::string why = TextField(raw, id, false, &text);
  if (!why.empty()) return why;
  return ParseUtcMs(text, ms) ? "" : Quoted(id) + " is not a UTC time: " + text;
}

std::string VersionOf(const RawRecord& raw, int* version) {
  const RawField& v = raw.f[kVersion];
  if (v.kind == RawField::Absent) return "";  // written before records carried their version
  if (v.kind != RawField::Integer || v.number < 1) return "\"version\" is not a record version";
  if (v.number > 2)
    return "record version " + std::to_string(static_cast<int64_t>(v.number)) +
           " is newer than this pendrel-station reads";
  *version = static_cast<int>(v.number);
  return "";
}

// Version 1 has no link: the unit's name tells it.
std::string LinkOf(RawRecord& raw, const std::string& port, std::string* link) {
  std::string why = TextField(raw, kLink, true, link);
  if (!why.empty() || !link->empty()) return why;
  if (port == "usb" || port.rfind("usb:", 0) == 0) *link = "usb";
  else if (port == "eth" || port.rfind("eth:", 0) == 0) *link = "eth";
  else *link = "serial";
  return "";
}

// The unit's name, its link, its USB location and its board's serial number.
std::string WhereFields(RawRecord& raw, LogRecord* r) {
  std::string why = TextField(raw, kPort, false, &r->port);
  if (why.empty() && r->port.empty()) why = "\"port\" is empty";
  if (why.empty()) why = LinkOf(raw, r->port, &r->link);
  std::string location, serial;
  if (why.empty()) why = TextField(raw, kUsbLocation, true, &location);
  if (why.empty()) why = TextField(raw, kUsbSerial, true, &serial);
  if (!location.empty()) r->port = "usb:" + location;
  // A serial port's usb_serial names its adapter, never the board behind it.
  r->board = r->link == "usb" ? serial : "";
  return why;
}

std::string ResultFields(RawRecord& raw, LogRecord* r) {
  std::string result;
  std::string why = TextField(raw, kResult, false, &result);
  if (why.empty() && result != "ok" && result != "failed")
    why = "\"result\" is neither \"ok\" nor \"failed\"";
  r->ok = result == "ok";
  if (why.empty()) why = TextField(raw, kFailure, true, &r->failure);
  if (!r->ok && r->failure.empty()) r->failure = "(no failure text)";
  if (why.empty()) why = TextField(raw, kIdentification, true, &r->identification);
  if (why.empty()) why = TextField(raw, kImage, true, &r->image);
  if (why.empty()) why = TextField(raw, kSha256, false, &r->sha256);
  const RawField& s = raw.f[kSeconds];
  bool number = s.kind == RawField::Integer || s.kind == RawField::Number;
  if (why.empty() && (!number || s.number < 0)) why = "\"seconds\" is missing or not a number of seconds";
  r->seconds = s.number;
  r->bytes = raw.f[kBytes].kind == RawField::Integer ? static_cast<int64_t>(raw.f[kBytes].number) : 0;
  return why;
}

uint64_t BoardKey(const std::string& sha256, const std::string& serial) {
  uint64_t h = 14695981039346656037ULL;  // FNV-1a
  for (char c : sha256 + '\n' + serial) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  return h;
}

void Count(Figures& f, const LogRecord& r) {
  ++f.units;
  if (r.ok) {
    ++f.passed;
    f.seconds.Add(r.seconds);
    f.slowest = std::max(f.slowest, r.seconds);
  } else {
    ++f.failed;
  }
  f.active.AddSpan(r.startedMs, r.endedMs);
}

void FirstAttempt(Figures& f, bool ok) {
  ++f.boards;
  f.firstPassed += ok ? 1 : 0;
}

uint32_t PortOf(DayReport& d, const LogRecord& r) {
  auto [it, fresh] = d.portIndex.try_emplace(r.port, static_cast<uint32_t>(d.ports.size()));
  if (fresh) d.ports.push_back(PortFigures{r.port, r.link, {}, {}, false, false, 1});
  return it->second;
}

uint32_t ImageOf(DayReport& d, const LogRecord& r) {
  auto [it, fresh] = d.imageIndex.try_emplace(r.sha256, static_cast<uint32_t>(d.images.size()));
  if (fresh) d.images.push_back(ImageFigures{r.sha256, r.image, 0, {}});
  ImageFigures& image = d.images[it->second];
  if (!r.image.empty()) image.image = r.image;
  if (r.ok) image.bytes = std::max(image.bytes, r.bytes);
  return it->second;
}

void KeepIfSlow(DayReport& d, const LogRecord& r, RecordPlace place) {
  if (d.slowest.size() == kSlowest && r.seconds <= d.slowest.back().seconds) return;
  SlowUnit s{r.seconds, r.startedMs, r.port, r.board, r.identification, r.image, place};
  auto at = std::upper_bound(d.slowest.begin(), d.slowest.end(), s.seconds,
                             [](double v, const SlowUnit& u) { return v > u.seconds; });
  d.slowest.insert(at, std::move(s));
  if (d.slowest.size() > kSlowest) d.slowest.pop_back();
}

}  // namespace

std::string RecordFromLine(std::string_view line, LogRecord* r, bool* notJson) {
  thread_local RawRecord raw;  // its strings' buffers serve the next line again
  *notJson = !ParseFields(line, &raw);
  if (*notJson) return "not JSON";
  if (!raw.object) return "not a JSON object";
  if (raw.f[kEvent].kind != RawField::Absent) return "a --json event, not a --log record";
  r->version = 1;  // every other field is set below, its buffer kept for the next line
  std::string why = VersionOf(raw, &r->version);
  if (why.empty()) why = TimeField(raw, kTime, &r->endedMs);
  if (why.empty()) why = TimeField(raw, kStarted, &r->startedMs);
  if (why.empty()) why = WhereFields(raw, r);
  if (why.empty()) why = ResultFields(raw, r);
  return why;
}

void AddRecord(DayReport& d, const LogRecord& r, RecordPlace place) {
  uint32_t port = PortOf(d, r), image = ImageOf(d, r);
  Count(d.line, r);
  Count(d.ports[port].f, r);
  Count(d.images[image].f, r);
  if (!r.ok) {
    ++d.failures[r.failure];
    ++d.ports[port].failures[r.failure];
  }
  int64_t hour = r.endedMs >= 0 ? r.endedMs / 3600000 : (r.endedMs - 3599999) / 3600000;
  ++d.hours[hour][r.ok ? 0 : 1];
  d.firstMs = std::min(d.firstMs, r.startedMs);
  d.lastMs = std::max(d.lastMs, r.endedMs);
  if (r.ok) KeepIfSlow(d, r, place);
  if (r.board.empty()) {
    for (Figures* f : {&d.line, &d.ports[port].f, &d.images[image].f}) FirstAttempt(*f, r.ok);
    return;
  }
  BoardFirst attempt{r.startedMs, port, image, r.ok};
  auto [it, fresh] = d.boardFirst.try_emplace(BoardKey(r.sha256, r.board), attempt);
  if (!fresh && r.startedMs < it->second.startedMs) it->second = attempt;
}

void FinishDayReport(DayReport& d) {
  if (d.finished) return;
  d.finished = true;
  for (const auto& [key, b] : d.boardFirst)
    for (Figures* f : {&d.line, &d.ports[b.port].f, &d.images[b.image].f}) FirstAttempt(*f, b.ok);
  d.portsTested = 0;
  for (PortFigures& p : d.ports) {
    p.tested = p.f.units >= kFlagMinUnits && d.line.units - p.f.units >= kFlagMinUnits;
    d.portsTested += p.tested ? 1 : 0;
  }
  for (PortFigures& p : d.ports) {
    if (!p.tested) continue;
    p.pValue = FisherOneSided(p.f.failed, p.f.units, d.line.failed, d.line.units);
    uint64_t restUnits = d.line.units - p.f.units, restFailed = d.line.failed - p.f.failed;
    // Failing more often than the rest, and more than chance explains among the ports tested.
    bool worse = p.f.failed * restUnits > restFailed * p.f.units;
    p.flagged = worse && p.pValue < kFlagAlpha / d.portsTested;
  }
}
