// The console input device itself, so that a redirected standard input does
// not skip the wait; key presses only, a modifier key alone does not count.
#include <windows.h>

#include "app/exit_prompt.h"

namespace {

bool IsModifierOnly(WORD vk) {
  switch (vk) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_LMENU:
    case VK_RMENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_APPS: return true;
    default: return false;
  }
}

}  // namespace

void WaitForKeyPress() {
  HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return;
  DWORD saved = 0;
  if (!GetConsoleMode(in, &saved) || !SetConsoleMode(in, 0)) {
    CloseHandle(in);
    return;
  }
  for (;;) {
    INPUT_RECORD record;
    DWORD got = 0;
    if (!ReadConsoleInputA(in, &record, 1, &got)) break;
    if (got != 1 || record.EventType != KEY_EVENT) continue;
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (!key.bKeyDown) continue;
    if (key.uChar.AsciiChar != 0 || !IsModifierOnly(key.wVirtualKeyCode)) break;
  }
  SetConsoleMode(in, saved);
  CloseHandle(in);
}
