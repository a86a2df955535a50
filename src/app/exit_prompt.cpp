#include "app/exit_prompt.h"

#include <cstdio>

void ExitPrompt() {
  std::printf("\nPress any key to exit program");
  std::fflush(stdout);
  WaitForKeyPress();
}
