#include "app/service_status.h"

#include <algorithm>
#include <utility>

#include "platform/exception.h"

namespace lobby {

namespace {

// A state is one line: the protocol separates its fields by line ends.
std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

} // namespace

ServiceStatus::ServiceStatus(ServiceNotifier* notifier, EventLoop& loop, std::function<void(const std::string&)> warn)
    : notifier_(notifier), warn_(std::move(warn))
{
    if (!notifier_ || !notifier_->Listening())
        return;
    const auto usec = notifier_->WatchdogUsec();
    if (!usec)
        return;
    // Half the interval, as the manager asks, so one late tick does not get the lobby killed.
    watchdogMs_ = static_cast<int>(std::clamp<std::int64_t>(*usec / 2000, 1, 24 * 3600 * 1000));
    watchdog_ = loop.StartTimer(watchdogMs_, [this] { Send("WATCHDOG=1"); });
}

void ServiceStatus::Ready(const std::string& status)
{
    status_ = OneLine(status);
    Send("READY=1\nSTATUS=" + status_);
}

void ServiceStatus::Status(const std::string& status)
{
    const std::string line = OneLine(status);
    if (line == status_)
        return;
    status_ = line;
    Send("STATUS=" + status_);
}

void ServiceStatus::Reloading()
{
    Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(notifier_ ? notifier_->MonotonicUsec() : 0));
}

void ServiceStatus::Stopping()
{
    watchdog_.reset();
    Send("STOPPING=1");
}

void ServiceStatus::Send(const std::string& state)
{
    if (!notifier_ || !notifier_->Listening())
        return;
    try {
        notifier_->Send(state);
        failing_ = false;
    } catch (const Exception& error) {
        if (!std::exchange(failing_, true) && warn_)
            warn_(error.Message());
    }
}

} // namespace lobby
