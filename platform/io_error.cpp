#include "platform/io_error.h"

#include <cerrno>

namespace lobby {

std::string InOutErrorMessage(int errorCode)
{
    switch (errorCode) {
    case io_error::kFileNotFound: return "File not found";
    case io_error::kInvalidFilename: return "Invalid filename";
    case io_error::kTooManyOpenFiles: return "Too many open files";
    case io_error::kAccessDenied: return "File access denied";
    case io_error::kDiskFull: return "Disk full";
    default: return "I/O error " + std::to_string(errorCode);
    }
}

int InOutErrorCode(int errnoValue)
{
    switch (errnoValue) {
    case ENOENT: return io_error::kFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return io_error::kInvalidFilename;
    case EMFILE:
    case ENFILE: return io_error::kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY: return io_error::kAccessDenied;
    case EWOULDBLOCK: return io_error::kHeldByAnotherProgram;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return io_error::kDiskFull;
    default: return io_error::kErrnoBase + errnoValue;
    }
}

EInOutError InOutErrorFromErrno(int errnoValue)
{
    const int code = InOutErrorCode(errnoValue);
    return EInOutError(InOutErrorMessage(code), code);
}

EInOutError InOutErrorOnFile(int errnoValue, const std::string& path, const std::string& reason)
{
    const int code = InOutErrorCode(errnoValue);
    return EInOutError(InOutErrorMessage(code) + " (" + path + ": " + reason + ")", code);
}

} // namespace lobby
