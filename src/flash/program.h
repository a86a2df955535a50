// The programming and verification run.
#pragma once

#include <cstdint>

int ProgramFlash(const char* path, int32_t commandRate, int32_t uploadRate);
int WriteNextBlock();
int SetHostBaudRate(int32_t rate);

// Whole percent of total written, exact for every image size a model takes.
uint32_t ProgressPercent(uint32_t written, uint32_t total);
