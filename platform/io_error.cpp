#include "platform/io_error.h"

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

EInOutError InOutError(const SystemReason& reason)
{
    return EInOutError(InOutErrorMessage(reason.inOutCode), reason.inOutCode);
}

EInOutError InOutErrorOnFile(const SystemReason& reason, const std::string& path)
{
    return EInOutError(InOutErrorMessage(reason.inOutCode) + " (" + path + ": " + reason.text + ")", reason.inOutCode);
}

} // namespace lobby
