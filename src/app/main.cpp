// Pendrel: writes a flash image into a Talo display controller.
#include <cstdlib>

#include "app/cmdline.h"
#include "app/environment.h"
#include "app/exit_prompt.h"
#include "app/run.h"

int main(int argc, char** argv) {
  RunOptions options = ParseCommandLine(argc, argv);
  ApplyEnvironment(options, [](const char* name) -> const char* { return std::getenv(name); });
  std::atexit(ExitPrompt);
  if (!IsUsable(options)) {
    PrintUsage();
    return 1;
  }
  return RunSequence(options);
}
