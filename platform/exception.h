#pragma once

#include <exception>
#include <string>

namespace lobby {

// The general error of the server. Its message is the exact text the operator sees, so
// every error that can reach the error box or standard error is one of these (or derived).
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}

    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// A text that is not an integer by the server's integer rule.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A file operation of the traffic log failed.
class EInOutError : public Exception {
public:
    EInOutError(std::string message, int errorCode)
        : Exception(std::move(message)), errorCode_(errorCode) {}
    int ErrorCode() const noexcept { return errorCode_; }

private:
    int errorCode_;
};

// A file could not be created or written in full.
class EFCreateError : public Exception {
public:
    using Exception::Exception;
};

// A stream refused to read or write the exact number of bytes asked for.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};

} // namespace lobby
