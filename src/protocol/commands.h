// Controller commands: frames, time-outs and retries of each command.
#pragma once

#include <cstdint>

bool Handshake();
const char* QueryIdentification();  // nullptr on failure
const char* QueryControllerName();  // nullptr on failure
bool SetControllerBaudRate(uint32_t rate);
bool Reboot();
bool SelectPage8(uint32_t page);
bool SelectPage16(uint32_t page);
bool SelectSubPage(uint32_t subPage);
bool EraseNandIndex();
bool ErasePage8(uint32_t page, uint16_t eraseParameter);
bool ErasePage16(uint32_t page);
bool WriteBlock(const uint8_t* data, uint32_t n, uint16_t offset);
// The controller's largest block; when it leaves the query unanswered, its
// loader's default by chip code (512 from 38 on, else 256).
uint16_t QueryMaxBlockSize(uint32_t chipCode);
bool Flush();
bool Verify();
