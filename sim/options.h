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

#include <string>

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
