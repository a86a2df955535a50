// The station's run: starts pendrel for each unit, reads what it prints,
// ends the hung ones, and in --watch programs each board that comes.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "report.h"
#include "unit.h"

struct StationPlan {
  std::string pendrel;      // the program to run
  std::string image;        // what each pendrel is given: the station's private copy
  uint64_t imageBytes = 0;  // what a complete run writes
  std::vector<Unit> units;
  double timeoutSeconds = 0;  // per run
};

// Runs the plan to its end (or, with --watch, until interrupted), prints the
// summary; the exit code: 0 when every run succeeded, 1 otherwise.
int RunStation(const StationOptions& o, StationPlan& plan, Reporter& r);
