#include "platform/win32/windows_reason.h"

#include "platform/win32/windows_error.h"

namespace lobby::win32 {

namespace {

int InOutErrorCode(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND: return io_error::kFileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_CANT_RESOLVE_FILENAME: return io_error::kInvalidFilename;
    case ERROR_TOO_MANY_OPEN_FILES: return io_error::kTooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: return io_error::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return io_error::kHeldByAnotherProgram;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_FILE_TOO_LARGE: return io_error::kDiskFull;
    default: return io_error::kErrnoBase + static_cast<int>(code);
    }
}

} // namespace

SystemReason ReasonFromWindows(DWORD code)
{
    using Kind = SystemReason::Kind;
    SystemReason reason;
    if (code == ERROR_SUCCESS)
        return reason;
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: reason.kind = Kind::kNotFound; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: reason.kind = Kind::kAlreadyExists; break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: reason.kind = Kind::kHeldByAnother; break;
    case ERROR_CANT_RESOLVE_FILENAME: reason.kind = Kind::kLink; break;
    default: reason.kind = Kind::kOther; break;
    }
    reason.inOutCode = InOutErrorCode(code);
    reason.text = SystemMessage(code);
    return reason;
}

} // namespace lobby::win32
