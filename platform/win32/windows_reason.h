#pragma once

#include <string>

#include <windows.h>

#include "platform/io_error.h"
#include "platform/system_reason.h"

namespace lobby::win32 {

// A GetLastError code as the lobby reads it, the Windows twin of platform/posix/errno_reason:
// its kind, the operator's number and the system's wording. The lobby's numbers are Windows'
// own where Windows has them (2 not found, 3 bad path, 4 too many open files, 5 denied, 32 a
// lock another program holds); a full disk is 101 as on Linux; any other kErrnoBase + code.
SystemReason ReasonFromWindows(DWORD code);

} // namespace lobby::win32
