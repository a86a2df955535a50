#include <windows.h>

#include "support/system_error.h"

void LeaveSystemError() { SetLastError(ERROR_ACCESS_DENIED); }
