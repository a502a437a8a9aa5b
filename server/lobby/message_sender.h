#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/datagram_endpoint.h"
#include "server/flood/flood_guard.h"
#include "server/lobby/outbox.h"
#include "server/traffic_log/traffic_log.h"

namespace lobby {

// Traffic since start-up, for the operator's status line.
struct TrafficCounters {
    std::uint64_t received = 0; // datagrams handed to the request handler
    std::uint64_t sent = 0;     // messages handed to the endpoint
    std::uint64_t dropped = 0;  // datagrams not served: failed receives, flood limits, bans
    std::uint64_t banned = 0;   // of those, requests refused by a ban
};

// Everything the lobby sends goes through here: each message is asked about by the flood
// guard, logged, and gathered (see Outbox and TrafficLog::Flush) or held back until the
// change it shows is on disk (see SaveScheduler, which says when). Runs on the loop's thread.
class MessageSender {
public:
    // A scope is open while a handler or a sending operation runs: a handler's scope flushes
    // when it ends, an operation's when it is the outermost; each puts back the holding
    // state it found.
    class Scope;
    // Open while the requests taken by one receive are handled: their handlers' lines and
    // datagrams are handed over together when it ends (see Batch).
    class Batch;
    // One message on its way to one or more recipients.
    struct Message {
        explicit Message(std::string_view text);
        std::string_view bytes;                  // what goes out: the text cut to one datagram
        Outbox::MessageSlot slot;                // where the outbox keeps the bytes
        std::shared_ptr<const std::string> held; // the copy messages waiting for a save share
        bool admitted = false;                   // the flood guard let it through already
    };

    // endpoint is read at each send (it may be made after this); showError hears of what a
    // scope's flush raised, since a scope's end has nobody to raise it to.
    MessageSender(std::unique_ptr<DatagramEndpoint>& endpoint, FloodGuard& guard, TrafficLog& log,
                  TrafficCounters& counters, std::function<void(const std::string&)> showError);

    // Logs and gathers (or holds) one message to address; a host name is looked up after
    // everything gathered so far has gone out. An empty address is a row that gets nothing.
    void Deliver(std::string_view address, Message& message);
    // Hands the gathered log lines to the system, then the gathered datagrams.
    void Flush();
    // Flush for scopes that end: whatever it raises goes to showError.
    void FlushReporting() noexcept;

    // The running handler's messages from here on wait until version is on disk.
    void HoldUntil(std::uint64_t version);
    // Told by the saves: the changes up to version are on disk, and what waited for them goes.
    void Durable(std::uint64_t version);
    // The same, leaving what waits to the next save's end (a save that stops the loop).
    void NoteDurable(std::uint64_t version);
    // Told by the saves: the save of the changes up to version failed; what waited for it is
    // never sent, since what it shows is not on disk.
    void Lost(std::uint64_t version);
    bool Holding() const { return !held_.empty(); }
    void DropHeld() { held_.clear(); }

    // Datagrams sent on behalf of requests, for the lobby's fair share: the request path
    // reads and resets it; a paced broadcast (sendingSnapshot) is charged to nobody.
    std::uint64_t requestDatagrams = 0;
    bool sendingSnapshot = false;

private:
    struct HeldMessage {
        std::uint64_t version;
        std::string address;
        std::shared_ptr<const std::string> text;
    };

    void SendLookingUp(std::string destination, std::string_view bytes);

    std::unique_ptr<DatagramEndpoint>& endpoint_;
    FloodGuard& guard_;
    TrafficLog& log_;
    TrafficCounters& counters_;
    std::function<void(const std::string&)> showError_;
    Outbox outbox_;
    int depth_ = 0;
    int batchDepth_ = 0; // depth_ just inside the innermost open batch; 0 when none is open
    std::uint64_t durable_ = 0;            // the changes on disk
    std::optional<std::uint64_t> holding_; // the running handler's messages wait for this
    std::deque<HeldMessage> held_;
};

class MessageSender::Scope {
public:
    // handler: the scope of a handler of its own (a request, a tick, a save's end), which
    // starts holding nothing and flushes what it gathered when it ends, even when nested in
    // another handler's lookup. Otherwise the scope of a sending operation.
    Scope(MessageSender& sender, bool handler) : sender_(sender), handler_(handler), holding_(sender.holding_)
    {
        if (handler_)
            sender_.holding_.reset();
        ++sender_.depth_;
    }
    ~Scope()
    {
        --sender_.depth_;
        // A handler right inside a batch leaves its output to the batch's end.
        if ((handler_ && sender_.depth_ != sender_.batchDepth_) || sender_.depth_ == 0)
            sender_.FlushReporting();
        sender_.holding_ = holding_;
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    MessageSender& sender_;
    bool handler_;
    std::optional<std::uint64_t> holding_;
};

// The handlers run right inside a batch (the requests of one receive) leave what they gather
// to the batch, which hands it all over when it ends: one write and one send for all of
// them, in the order each alone would have had, since every line is written before any
// datagram leaves. Whatever lets other events in first hands over what was gathered (a
// host-name lookup), and a handler nested in it (a request during the lookup, in a batch of
// its own) has its output handed over before the lookup's send, as without batches.
class MessageSender::Batch {
public:
    explicit Batch(MessageSender& sender) : sender_(sender), outer_(sender.batchDepth_)
    {
        sender_.batchDepth_ = ++sender_.depth_;
    }
    ~Batch()
    {
        --sender_.depth_;
        sender_.batchDepth_ = outer_;
        sender_.FlushReporting();
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

private:
    MessageSender& sender_;
    int outer_;
};

} // namespace lobby
