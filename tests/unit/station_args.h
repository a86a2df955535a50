// The station's command line as the unit tests type it, and the check that
// bad input is refused with a one-line reason.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

// `args` without the program's name.
inline bool ParseStation(std::vector<const char*> args, StationOptions* o, std::string* error) {
  args.insert(args.begin(), "pendrel-station");
  return ParseStationArgs(static_cast<int>(args.size()), args.data(), o, error);
}

inline void ExpectEachRefusedInOneLine(const std::vector<std::vector<const char*>>& commandLines) {
  for (const auto& args : commandLines) {
    StationOptions o;
    std::string error;
    EXPECT_FALSE(ParseStation(args, &o, &error)) << args.back();
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
}
