// The programming and verification run.
#pragma once

#include <cstdint>

int ProgramFlash(const char* path, int32_t commandRate, int32_t uploadRate);
int WriteNextBlock();
int SetHostBaudRate(int32_t rate);
