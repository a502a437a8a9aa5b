#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace lobby {

// The service manager's notification socket, as a Type=notify service speaks to it: one
// datagram per change of state, "KEY=VALUE" lines ("READY=1", "STATUS=...", "WATCHDOG=1"),
// no library. A process the manager did not start that way ($NOTIFY_SOCKET unset), or a
// system without such a manager, gets one that listens to nobody and does nothing.
class ServiceNotifier {
public:
    // Reads $NOTIFY_SOCKET (a path, or an abstract name written with a leading "@"),
    // $WATCHDOG_USEC and $WATCHDOG_PID. A value it cannot use raises Exception naming it,
    // since a manager that waits for READY=1 in vain would fail the start with no reason.
    static std::unique_ptr<ServiceNotifier> FromEnvironment();

    virtual ~ServiceNotifier() = default;

    // Whether a manager listens: when not, Send does nothing.
    virtual bool Listening() const = 0;
    // Sends state as one datagram. Raises Exception when the socket does not take it.
    virtual void Send(const std::string& state) = 0;
    // How often the manager wants "WATCHDOG=1" of this process, in microseconds; nothing when
    // it wants none, or wants it of another process ($WATCHDOG_PID).
    virtual std::optional<std::int64_t> WatchdogUsec() const = 0;
    // The system's monotonic clock in microseconds, the one the manager stamps a reload by.
    virtual std::int64_t MonotonicUsec() const = 0;
};

// The notifier of a process no manager listens to: it sends nothing and asks for nothing.
class QuietServiceNotifier : public ServiceNotifier {
public:
    bool Listening() const override { return false; }
    void Send(const std::string&) override {}
    std::optional<std::int64_t> WatchdogUsec() const override { return std::nullopt; }
    std::int64_t MonotonicUsec() const override { return 0; }
};

} // namespace lobby
