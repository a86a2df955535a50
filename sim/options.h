// Options that every talo-sim front end takes, and their parsing.
//
//   --model NAME          controller model (default TXC5110)
//   --ident TEXT          identification text (at most 128 characters, no 0x06)
//   --name TEXT           name-query answer when it should differ from the model
//   --block-size N|none   block-size answer; none leaves the query unanswered
//   --start application|loader|silent
//   --rate N              the controller's line rate at start and after reboot
//   --fault CMD:K:KIND    at the K-th CMD frame: nak, checksum, overrun,
//                         silence, wrong-byte or drop (repeatable)
//   --max-block N         largest block the link carries; longer: host fault
//   --log FILE            one JSON line per event
//   --flash-out FILE      flash contents from the model's base on exit
//   --exit-after-reboot   stop serving once the controller has rebooted
//   --verbose             print every frame on the console
//   --quiet               print only the port line and the summary
#pragma once

#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "engine/engine.h"

struct FrontEndOptions {
  sim::SimConfig config;
  std::string logPath;
  std::string flashOutPath;
  bool exitAfterReboot = false;
  bool verbose = false;
  bool quiet = false;
};

enum class OptionParse {
  NotMine,  // argv[index] is not a common option: the front end looks at it
  Taken,    // consumed argv[index] and its value; index points past them
  Bad,      // a common option with a bad or missing value; the text was printed
};

// Looks at argv[index]; advances index past what it consumed.
OptionParse ParseCommonOption(int argc, char** argv, int& index, FrontEndOptions& options);

// The option lines above, for a front end's usage text.
void PrintCommonOptionsUsage();

// A front end's own options as tables: flags set a field; a valued option's
// setter stores its value and returns "" or what the value should have been.
template <class Options>
struct FlagOption {
  std::string_view name;
  bool Options::*field;
};

template <class Options>
struct ValuedOption {
  std::string_view name;
  std::string (*set)(std::string_view value, Options& options);
};

// ParseCommonOption's contract for the options of the two tables.
template <class Options>
OptionParse ParseTableOption(int argc, char** argv, int& index, std::span<const FlagOption<Options>> flags,
                             std::span<const ValuedOption<Options>> valued, Options& options) {
  std::string_view option = argv[index];
  for (const FlagOption<Options>& flag : flags) {
    if (flag.name != option) continue;
    options.*flag.field = true;
    ++index;
    return OptionParse::Taken;
  }
  for (const ValuedOption<Options>& entry : valued) {
    if (entry.name != option) continue;
    if (index + 1 >= argc) {
      std::printf("talo-sim: %s needs a value\n", argv[index]);
      return OptionParse::Bad;
    }
    std::string why = entry.set(argv[index + 1], options);
    if (!why.empty()) {
      std::printf("talo-sim: %s %s: %s\n", argv[index], argv[index + 1], why.c_str());
      return OptionParse::Bad;
    }
    index += 2;
    return OptionParse::Taken;
  }
  return OptionParse::NotMine;
}

// A value's name, for options that choose one of a few.
template <class Value>
struct NamedValue {
  std::string_view name;
  Value value;
};

template <class Value>
bool FindNamedValue(std::span<const NamedValue<Value>> names, std::string_view name, Value& value) {
  for (const NamedValue<Value>& entry : names) {
    if (entry.name != name) continue;
    value = entry.value;
    return true;
  }
  return false;
}
