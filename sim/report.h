// What a talo-sim front end reports: the JSON-lines log (--log), the console
// lines, the flash contents (--flash-out) and the closing summary.
//
// Use: ReportOpen before SimInit (it installs the engine's log callback into
// options.config), ReportEvent for the front end's own events, and
// ReportFinish at the end, whose result is the process exit code.
//
// Log lines: {"t":<ms since start>,"event":"frame|garbage|truncated|fault|
// host-fault|note|<front end's own>","command":...,"frame":"<hex>",
// "reply":"<hex>","text":...} plus the front end's extra fields.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "options.h"

struct ReportFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

struct SimReport {
  std::unique_ptr<std::FILE, ReportFileCloser> log;
  bool verbose = false;
  bool quiet = false;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  // A front end's own totals for the summary: extra JSON members (without
  // braces) and one console line after the summary line; empty: none.
  std::string summaryFields;
  std::string summaryLine;
};

// Opens --log if given; false (message printed) when it cannot be created.
// The report must outlive every engine initialised with options.config.
bool ReportOpen(SimReport& report, FrontEndOptions& options);

// A front end's own event. `fields` is extra JSON members without braces
// (e.g. "\"rate\":115200"), or empty; `console` is printed unless --quiet
// (empty: log only).
void ReportEvent(SimReport& report, std::string_view event, std::string_view fields,
                 std::string_view console);

// Writes --flash-out, prints the summary line; returns 0 for a clean run,
// 1 when the engine saw a host fault, 2 when the flash file failed.
int ReportFinish(SimReport& report, const sim::SimEngine& engine, const FrontEndOptions& options,
                 std::string_view endReason);

// Helpers for the front ends' fields.
std::string JsonString(std::string_view text);
std::string HexBytes(const uint8_t* bytes, size_t count);
