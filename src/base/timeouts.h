// The standing time-out pair, in force between commands on every link: a
// link opens with it, and the command layer returns to it after a command
// that waits for its reply longer or shorter.
#pragma once

#include <cstdint>

inline constexpr uint32_t kStandingReceiveMs = 500;
inline constexpr uint32_t kStandingSendMs = 100;
