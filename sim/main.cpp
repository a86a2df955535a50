// talo-sim: a Talo controller simulator for testing the programmer without
// hardware. One subcommand per link.
#include <cstdio>
#include <string_view>

#include "frontends.h"

namespace {

struct FrontEnd {
  std::string_view name;
  int (*run)(int argc, char** argv);
};
constexpr FrontEnd kFrontEnds[] = {
    {"serial", RunSerialFrontEnd},
    {"ethernet", RunEthernetFrontEnd},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2) {
    for (const FrontEnd& frontEnd : kFrontEnds)
      if (frontEnd.name == argv[1]) return frontEnd.run(argc - 2, argv + 2);
  }
  std::printf(
      "usage: talo-sim serial [--link PATH] [--pace] [options]\n"
      "       talo-sim ethernet [options]\n"
      "       talo-sim serial --help    (the options)\n");
  return 2;
}
