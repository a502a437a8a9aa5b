#include "platform/service_notifier.h"

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/exception.h"
#include "platform/posix/file_descriptor.h"

namespace lobby {

namespace {

std::optional<std::string> Variable(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value)
        return std::nullopt;
    return std::string(value);
}

std::optional<std::int64_t> Number(const std::string& text)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value <= 0)
        return std::nullopt;
    return value;
}

// A datagram socket sending to the manager's socket; unconnected, so a manager that
// restarts its socket is still reached.
class SocketNotifier : public ServiceNotifier {
public:
    SocketNotifier(const std::string& name, std::optional<std::int64_t> watchdogUsec) : watchdogUsec_(watchdogUsec)
    {
        address_.sun_family = AF_UNIX;
        if (name.size() < 2 || name.size() >= sizeof address_.sun_path || (name[0] != '/' && name[0] != '@'))
            throw Exception("NOTIFY_SOCKET \"" + name + "\" is no socket path nor abstract name");
        std::memcpy(address_.sun_path, name.data(), name.size());
        if (name[0] == '@')
            address_.sun_path[0] = '\0'; // an abstract name: no file, no terminator
        length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (name[0] == '/' ? 1 : 0));
        if (!socket_.IsOpen())
            throw Exception("NOTIFY_SOCKET " + name + ": " + std::strerror(errno));
        name_ = name;
    }

    bool Listening() const override { return true; }

    void Send(const std::string& state) override
    {
        for (;;) {
            const ssize_t sent = ::sendto(socket_.Get(), state.data(), state.size(), MSG_NOSIGNAL,
                                          reinterpret_cast<const sockaddr*>(&address_), length_);
            if (sent >= 0)
                return;
            if (errno != EINTR)
                throw Exception("The service manager's socket " + name_ + " did not take \"" +
                                state.substr(0, state.find('\n')) + "\": " + std::strerror(errno));
        }
    }

    std::optional<std::int64_t> WatchdogUsec() const override { return watchdogUsec_; }

    std::int64_t MonotonicUsec() const override
    {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    }

private:
    FileDescriptor socket_{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    sockaddr_un address_{};
    socklen_t length_ = 0;
    std::string name_;
    std::optional<std::int64_t> watchdogUsec_;
};

} // namespace

std::unique_ptr<ServiceNotifier> ServiceNotifier::FromEnvironment()
{
    const std::optional<std::string> name = Variable("NOTIFY_SOCKET");
    if (!name)
        return std::make_unique<QuietServiceNotifier>();
    std::optional<std::int64_t> watchdog;
    if (const auto usec = Variable("WATCHDOG_USEC")) {
        watchdog = Number(*usec);
        if (!watchdog)
            throw Exception("WATCHDOG_USEC \"" + *usec + "\" is no number of microseconds");
        // The manager may mean another process of the service (a wrapper that started it).
        if (const auto pid = Variable("WATCHDOG_PID"); pid && Number(*pid) != static_cast<std::int64_t>(::getpid()))
            watchdog.reset();
    }
    return std::make_unique<SocketNotifier>(*name, watchdog);
}

} // namespace lobby
