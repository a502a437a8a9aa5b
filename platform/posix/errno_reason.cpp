#include "platform/posix/errno_reason.h"

#include <cerrno>
#include <cstring>

namespace lobby {

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

SystemReason ReasonFromErrno(int errnoValue)
{
    return ReasonFromErrno(errnoValue, errnoValue == 0 ? std::string() : std::string(std::strerror(errnoValue)));
}

SystemReason ReasonFromErrno(int errnoValue, std::string text)
{
    using Kind = SystemReason::Kind;
    SystemReason reason;
    if (errnoValue == 0)
        return reason;
    switch (errnoValue) {
    case ENOENT: reason.kind = Kind::kNotFound; break;
    case EEXIST: reason.kind = Kind::kAlreadyExists; break;
    case EWOULDBLOCK: reason.kind = Kind::kHeldByAnother; break;
    case ELOOP: reason.kind = Kind::kLink; break;
    default: reason.kind = Kind::kOther; break;
    }
    reason.inOutCode = InOutErrorCode(errnoValue);
    reason.text = std::move(text);
    return reason;
}

EInOutError InOutErrorFromErrno(int errnoValue)
{
    return InOutError(ReasonFromErrno(errnoValue));
}

} // namespace lobby
