#include "protocol/pause.h"

#include <chrono>
#include <thread>

namespace {

void SleepFor(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

PauseFunction gPause = SleepFor;

}  // namespace

void InstallPause(PauseFunction pause) { gPause = pause ? pause : SleepFor; }

void Pause(uint32_t milliseconds) { gPause(milliseconds); }
