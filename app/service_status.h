#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/service_notifier.h"

namespace lobby {

// What the service manager hears of the lobby (see ServiceNotifier): READY=1 once it serves,
// so that a start that fails before is a failed start; its one-line state whenever that
// changes; RELOADING=1 and READY=1 around a reload; STOPPING=1 when it closes; and, when the
// manager keeps a watchdog, WATCHDOG=1 from the loop at half the manager's interval, so a
// loop that hangs stops the pings and has the lobby restarted. Where no manager listens,
// nothing is sent and no timer runs.
class ServiceStatus {
public:
    // warn hears of a message the manager's socket did not take: once, until one goes again
    // (the watchdog's would otherwise repeat it every few seconds). No notifier: nothing is
    // sent.
    ServiceStatus(ServiceNotifier* notifier, EventLoop& loop, std::function<void(const std::string&)> warn);
    ServiceStatus(const ServiceStatus&) = delete;
    ServiceStatus& operator=(const ServiceStatus&) = delete;

    // The lobby serves: READY=1 and its state.
    void Ready(const std::string& status);
    // Its state, when it differs from the last one sent.
    void Status(const std::string& status);
    // A reload begins: RELOADING=1, stamped with the monotonic clock as the manager wants.
    void Reloading();
    // It closes: STOPPING=1; the watchdog stops with it.
    void Stopping();

    // The watchdog's interval in milliseconds; 0 when there is none.
    int WatchdogIntervalMs() const { return watchdogMs_; }

private:
    void Send(const std::string& state);

    ServiceNotifier* notifier_;
    std::function<void(const std::string&)> warn_;
    std::string status_;
    bool failing_ = false;
    int watchdogMs_ = 0;
    std::unique_ptr<EventLoop::Registration> watchdog_;
};

} // namespace lobby
