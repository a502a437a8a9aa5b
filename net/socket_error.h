#pragma once

#include <string>

namespace lobby {

// What an errno value from a socket call means to the endpoint. This is the one place where
// error numbers are interpreted; everything else passes them along unchanged.
enum class SocketErrorKind {
    None,        // 0: the call succeeded
    WouldBlock,  // the call would have had to wait (nothing queued, no buffer space)
    Interrupted, // a signal arrived first; the call may simply be repeated
    Failure,     // anything else: the call failed for good
};

// The number the endpoint tolerates from a failed platform call: "would block" is not an
// error for a socket that never waits. Compared for equality only.
int ToleratedSocketError() noexcept;

SocketErrorKind ClassifySocketError(int error) noexcept;

// The system's own wording for an error number, for messages that tell the operator why.
std::string SocketErrorReason(int error);

} // namespace lobby
