#pragma once

#include <string>

#include "platform/exception.h"

namespace lobby {

// The numbers of the input/output errors the operator sees. The first five are named by
// their own texts; every other number reads "I/O error <number>".
namespace io_error {
constexpr int kFileNotFound = 2;
constexpr int kInvalidFilename = 3;
constexpr int kTooManyOpenFiles = 4;
constexpr int kAccessDenied = 5;
constexpr int kHeldByAnotherProgram = 32; // the file is locked by another writer
constexpr int kDiskFull = 101;
// Any errno without a meaning above reads as this base plus the errno value, so the
// number never collides with the named ones and the errno can still be read from it
// (EIO, errno 5, reads "I/O error 1005").
constexpr int kErrnoBase = 1000;
} // namespace io_error

// The text the operator sees for an input/output error number: "File not found",
// "Invalid filename", "Too many open files", "File access denied", "Disk full", or
// "I/O error <number>".
std::string InOutErrorMessage(int errorCode);

// The number an errno value stands for. The one place where the C library's errors are
// given their meaning: ENOENT 2; ENOTDIR, ENAMETOOLONG, ELOOP 3; EMFILE, ENFILE 4; EACCES,
// EPERM, EROFS, EISDIR, ETXTBSY 5; EWOULDBLOCK (a lock another program holds) 32; ENOSPC,
// EDQUOT, EFBIG 101 (the file cannot grow); any other kErrnoBase + errno.
int InOutErrorCode(int errnoValue);

// The exception for an errno value, carrying its text and number.
EInOutError InOutErrorFromErrno(int errnoValue);
// The same for an errno value met on a file: the text, then the file and the reason in
// brackets, "Disk full (/srv/lobby/06-12-2026.txt: No space left on device)".
EInOutError InOutErrorOnFile(int errnoValue, const std::string& path, const std::string& reason);

} // namespace lobby
