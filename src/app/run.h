// The run sequence: open, handshake, identification, programming, reboot,
// close. Returns the exit code.
#pragma once

#include "app/cmdline.h"

int RunSequence(RunOptions options);
