#pragma once

#include "platform/io_error.h"
#include "platform/system_reason.h"

namespace lobby {

// The number an errno value stands for. The one place where the C library's errors are
// given their meaning: ENOENT 2; ENOTDIR, ENAMETOOLONG, ELOOP 3; EMFILE, ENFILE 4; EACCES,
// EPERM, EROFS, EISDIR, ETXTBSY 5; EWOULDBLOCK (a lock another program holds) 32; ENOSPC,
// EDQUOT, EFBIG 101 (the file cannot grow); any other kErrnoBase + errno.
int InOutErrorCode(int errnoValue);

// An errno value as the lobby reads it: its kind, its number and strerror's text. 0 is no
// failure.
SystemReason ReasonFromErrno(int errnoValue);
// The same with a text of the caller's own ("a symbolic link is in its place ...").
SystemReason ReasonFromErrno(int errnoValue, std::string text);

// The exception for an errno value, carrying its text and number.
EInOutError InOutErrorFromErrno(int errnoValue);

} // namespace lobby
