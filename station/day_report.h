// pendrel-station report: the figures of a line's day from the station's
// logs, read one record at a time. What it keeps grows with the ports,
// images, failure texts, boards and days covered, never with the records.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "options.h"
#include "report_stats.h"

// The fields of one log record the report reads (versions 1 and 2).
struct LogRecord {
  int version = 1;
  int64_t startedMs = 0, endedMs = 0;
  std::string port;   // the group it counts in: "usb:" + the USB location where known, else the unit's name
  std::string link;   // serial, usb or eth (version 1: from the name)
  std::string board;  // the controller's own USB serial number; empty: the record is a board of its own
  bool ok = false;
  std::string failure;
  std::string identification;
  std::string image, sha256;
  double seconds = 0;
  int64_t bytes = 0;
};

// Where a record came from, for the slowest units and for errors.
struct RecordPlace {
  uint32_t file = 0;
  uint64_t line = 0;
};

struct Figures {
  uint64_t units = 0, passed = 0, failed = 0;
  uint64_t boards = 0, firstPassed = 0;  // boards whose first attempt counts here, and of those passed
  double slowest = 0;                    // of the passed units
  DurationSample seconds;                // of the passed units
  MinuteSet active;
};

struct PortFigures {
  std::string port, link;
  Figures f;
  std::map<std::string, uint64_t> failures;  // pendrel's text -> count on this port
  bool tested = false, flagged = false;
  double pValue = 1;
};

struct ImageFigures {
  std::string sha256, image;  // the image's name as last given
  int64_t bytes = 0;          // as the passed units wrote it
  Figures f;
};

struct SlowUnit {
  double seconds = 0;
  int64_t startedMs = 0;
  std::string port, board, identification, image;
  RecordPlace place;
};

struct InputFile {
  std::string path;
  uint64_t records = 0, torn = 0, outside = 0;  // read, torn lines skipped, left out by --since/--until
};

// A board with a USB serial number: its first attempt, by start time.
struct BoardFirst {
  int64_t startedMs = 0;
  uint32_t port = 0, image = 0;
  bool ok = false;
};

struct DayReport {
  int64_t sinceMs = INT64_MIN, untilMs = INT64_MAX;
  double goalPercent = 95;
  std::vector<InputFile> inputs;
  Figures line;
  std::vector<PortFigures> ports;
  std::vector<ImageFigures> images;
  std::unordered_map<std::string, uint32_t> portIndex, imageIndex;
  std::map<std::string, uint64_t> failures;             // pendrel's text -> count on the line
  std::map<int64_t, std::array<uint64_t, 2>> hours;     // UTC hour -> passed, failed
  std::unordered_map<uint64_t, BoardFirst> boardFirst;  // by a 64-bit hash of image and serial number
  std::vector<SlowUnit> slowest;                        // at most kSlowest, slowest first
  int64_t firstMs = INT64_MAX, lastMs = INT64_MIN;
  int portsTested = 0;
  bool finished = false;
};

constexpr size_t kSlowest = 10;
// The flagging rule (pendrel-station.1 states it): a port with at least
// kFlagMinUnits units, against a rest of the line with as many, flagged when
// the one-sided Fisher exact test of its failures gives p < kFlagAlpha / the
// number of ports tested.
constexpr uint64_t kFlagMinUnits = 20;
constexpr double kFlagAlpha = 0.01;
// A pause between units shorter than this counts as active time (boards being changed).
constexpr int kBridgeMinutes = 10;

// One line of a log into *r: "" for a record the report reads, else why
// not, with *notJson set when the line is not JSON at all.
std::string RecordFromLine(std::string_view line, LogRecord* r, bool* notJson);
// Counts one record (already inside --since/--until).
void AddRecord(DayReport& d, const LogRecord& r, RecordPlace place);
// Folds the boards' first attempts into the figures and flags the ports.
void FinishDayReport(DayReport& d);

// The figures as one JSON object (--json; the table and the page are drawn from it).
nlohmann::ordered_json DayReportJson(const DayReport& d);
std::string DayReportTable(const nlohmann::ordered_json& report);
std::string DayReportHtml(const nlohmann::ordered_json& report);

// Reads every log in turn into *d; false with a one-line error (file and
// line) for a file it cannot open or a record it cannot read.
bool ReadLogs(const std::vector<std::string>& paths, DayReport* d, std::string* error);

// The `report` command: exit code 0, 1 when a port is flagged, 2 for bad input.
int RunDayReport(const StationOptions& o);
