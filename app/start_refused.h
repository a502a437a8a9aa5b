#pragma once

// A start the server refuses before its loop runs: thrown by the step that decides it, with
// the exit status and the text the operator is told (on standard error, and in the error
// box when there is a window). The run catches it once, where everything it made still stands.

#include <stdexcept>
#include <string>

namespace lobby {

class StartRefused : public std::runtime_error {
public:
    StartRefused(int status, const std::string& text) : std::runtime_error(text), status_(status) {}

    int Status() const noexcept { return status_; }

private:
    int status_;
};

} // namespace lobby
