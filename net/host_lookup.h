#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/event_loop.h"

namespace lobby {

// Turns a host name into an IPv4 address (network byte order), or nothing when the name
// cannot be resolved. Runs on a worker thread, so it must not touch loop-thread state.
using HostResolver = std::function<std::optional<std::uint32_t>(const std::string& name)>;

// The system's resolver: the first IPv4 address that getaddrinfo gives for name.
std::optional<std::uint32_t> ResolveHostName(const std::string& name);

// Looks host names up off the loop's thread and waits for the answer on it, dispatching the
// loop's events meanwhile, so that a slow name server never freezes the program. One lookup
// waits at a time. Destroying the object while workers still run is safe: their replies are
// dropped, and a worker never touches the object or a loop the owner may have destroyed.
class HostLookup {
public:
    static constexpr int kDefaultTimeoutMs = 10000;

    explicit HostLookup(EventLoop& loop);
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    void SetResolver(HostResolver resolver) { resolver_ = std::move(resolver); }
    // A lookup that has not answered after this long counts as failed.
    void SetTimeoutMs(int timeoutMs) { timeoutMs_ = timeoutMs; }
    int TimeoutMs() const { return timeoutMs_; }

    // Resolves name on a worker thread; returns nothing when it failed, timed out or could not
    // be started. Handlers of events dispatched during the wait run nested in this call, and
    // their exceptions pass through it as the loop lets them. Raises UDPSockError when a
    // lookup of this object is already waiting further up the stack, or when a nested handler
    // destroyed this object (after which the caller must not touch its own object either).
    std::optional<std::uint32_t> LookUp(const std::string& name);

private:
    struct Channel;
    struct Reply;

    EventLoop& loop_;
    std::shared_ptr<Channel> channel_;
    HostResolver resolver_;
    int timeoutMs_ = kDefaultTimeoutMs;
};

} // namespace lobby
