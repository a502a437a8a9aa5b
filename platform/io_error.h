#pragma once

#include <string>

#include "platform/exception.h"
#include "platform/system_reason.h"

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
// Any system error without a meaning above reads as this base plus the system's own number,
// so the number never collides with the named ones and the system's can still be read from
// it (POSIX's EIO, errno 5, reads "I/O error 1005").
constexpr int kErrnoBase = 1000;
// A device's failure to read or write (POSIX's EIO), also what the lobby reports when a file
// cannot be brought into shape for reasons of its own.
constexpr int kDeviceFault = kErrnoBase + 5;
} // namespace io_error

// The text the operator sees for an input/output error number: "File not found",
// "Invalid filename", "Too many open files", "File access denied", "Disk full", or
// "I/O error <number>".
std::string InOutErrorMessage(int errorCode);

// The exception for a refusal of the system, carrying its text and number.
EInOutError InOutError(const SystemReason& reason);
// The same for a refusal met on a file: the text, then the file and the system's reason in
// brackets, "Disk full (/srv/lobby/06-12-2026.txt: No space left on device)".
EInOutError InOutErrorOnFile(const SystemReason& reason, const std::string& path);

} // namespace lobby
