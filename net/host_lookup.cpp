#include "net/host_lookup.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

#include "net/udp_sock_error.h"

namespace lobby {

// What an owner and its workers share. loop is cleared, under the mutex, when the owner goes:
// a worker posts its reply only while holding the mutex with loop still set, so the owner's
// destructor waits for a post in progress and no post happens after it.
struct HostLookup::Channel {
    std::mutex mutex;
    EventLoop* loop = nullptr;
    bool waiting = false; // loop thread only
};

// Filled on the loop thread by the posted reply; one per lookup, so a late reply of a lookup
// that already timed out can never be taken for the answer to a later one.
struct HostLookup::Reply {
    bool done = false;
    std::optional<std::uint32_t> address;
};

HostLookup::HostLookup(EventLoop& loop)
    : loop_(loop), channel_(std::make_shared<Channel>()), resolver_(ResolveHostName)
{
    channel_->loop = &loop;
}

HostLookup::~HostLookup()
{
    std::lock_guard lock(channel_->mutex);
    channel_->loop = nullptr;
}

std::optional<std::uint32_t> HostLookup::LookUp(const std::string& name)
{
    // Copies, so that nothing below needs `this` once events have been dispatched: a nested
    // handler may destroy the owner.
    const std::shared_ptr<Channel> channel = channel_;
    EventLoop& loop = loop_;
    if (channel->waiting)
        throw UDPSockError("Host lookup already in progress");

    struct WaitingFlag {
        Channel& channel;
        explicit WaitingFlag(Channel& c) : channel(c) { channel.waiting = true; }
        ~WaitingFlag() { channel.waiting = false; }
    } waitingFlag(*channel);

    auto reply = std::make_shared<Reply>();
    try {
        std::thread([channel, reply, resolver = resolver_, name] {
            std::optional<std::uint32_t> address;
            try {
                address = resolver(name);
            } catch (...) {
                // A resolver that fails by raising has simply not found the name; there is
                // no one on this thread to hand the error to.
            }
            std::lock_guard lock(channel->mutex);
            if (channel->loop == nullptr)
                return;
            channel->loop->Post([reply, address] {
                reply->done = true;
                reply->address = address;
            });
        }).detach();
    } catch (const std::system_error&) {
        // No thread could be started: the lookup never answers, which the caller treats
        // exactly like a name that did not resolve.
        return std::nullopt;
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    while (!reply->done) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return std::nullopt;
        loop.ProcessEvents(static_cast<int>(std::max<long long>(1, left)));
        if (channel->loop == nullptr)
            throw UDPSockError("Endpoint destroyed during host lookup");
    }
    return reply->address;
}

} // namespace lobby
