// Everything the station prints: plain lines, JSON lines or the live terminal
// view, the summary table, and the traceability log.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "system.h"
#include "unit.h"

enum class ViewMode { Plain, Json, Terminal };

struct Reporter {
  ViewMode mode = ViewMode::Plain;
  std::string image;   // as the user named it
  std::string sha256;  // of the bytes every unit flashes
  std::FILE* log = nullptr;
  int columns = 80;
  int drawnLines = 0;  // terminal view: lines to move back over
  double lastDraw = -1;
};

void ReportStart(Reporter& r, const Unit& u);
void ReportIdentification(Reporter& r, const Unit& u);
void ReportProgress(Reporter& r, const Unit& u);
void ReportEnd(Reporter& r, const Unit& u);
void ReportPresence(Reporter& r, const Unit& u, bool present);
// Terminal view: one line per unit, redrawn in place at most 10 times a second.
void DrawUnits(Reporter& r, const std::vector<Unit>& units, double now, bool force);
void ReportSummary(Reporter& r, const std::vector<UnitResult>& results, bool interrupted);
// Appends the unit's record to the log and flushes it; false when the write failed.
bool AppendLogRecord(Reporter& r, const UnitResult& result);
