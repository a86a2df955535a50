// The handshake's pauses between loader pings. Tests install a recorder so
// that a silent controller costs no wall time; nullptr puts the real sleep back.
#pragma once

#include <cstdint>

using PauseFunction = void (*)(uint32_t milliseconds);

void InstallPause(PauseFunction pause);
void Pause(uint32_t milliseconds);
