// A system error left behind, as a layer's earlier calls leave one: errno
// or the thread's last error, whichever the system's status texts read.
#pragma once

void LeaveSystemError();
