#pragma once

#include <string>

namespace lobby {

// Why the system refused a call, in the lobby's terms, so that nothing above platform/ reads a
// system's own error numbers. Each system's implementation makes it from its own: POSIX from
// errno (platform/posix/errno_reason.h), Windows from GetLastError (platform/win32/windows_reason.h).
struct SystemReason {
    // Only the kinds the lobby decides by; everything else is kOther.
    enum class Kind {
        kNone,
        kNotFound,
        kAlreadyExists,
        kHeldByAnother, // a lock another open file holds
        kLink,          // a symbolic link where a file was asked for, which is never followed
        kOther,
    };

    Kind kind = Kind::kNone;
    int inOutCode = 0; // the number the operator sees (io_error.h)
    std::string text;  // the system's own words: "No space left on device"

    bool Failed() const noexcept { return kind != Kind::kNone; }
};

} // namespace lobby
