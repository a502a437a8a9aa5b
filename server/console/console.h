#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "platform/local_server.h"
#include "platform/monotonic_clock.h"
#include "server/lobby/console_operations.h"

namespace lobby {


// How a console command ended: whether it did what was asked, and the answer's body, for
// people and for scripts.
struct ConsoleReply {
    bool ok = true;
    std::string text; // lines for a terminal, ending in a line end
    std::string json; // one JSON object
};

// What the console takes from the program around the lobby.
struct ConsoleSetup {
    std::string program; // "lobby-server"
    std::string version;
    // Reads the configuration again and applies it, saying what it did (or why it could not).
    std::function<ConsoleReply()> reload;
    // What the control socket's clients did so far; empty before the socket is open.
    std::function<LocalServerCounters()> clients;
};

// The operator's console, the lobby's side: reads one request (see console_protocol.h),
// carries it out on the lobby and answers it, in text for people or in JSON. Changes go
// through the lobby's own operations (ConsoleOperations); what this adds is the
// reading of the words, the figures, and their wording. Runs on the loop's thread.
//
// status, who, top [N], notice TEXT, kick NICK, password NICK NEW, remove NICK,
// remove --empty-nick, score NICK POINTS, ban [nick|address] VALUE, unban [nick|address]
// VALUE, bans, save, reload, metrics.
// Nicks, passwords and notices arrive in UTF-8 and are taken into the lobby's code page;
// what does not fit it is refused.
class Console {
public:
    // The most rows top shows, so an answer stays a few hundred kilobytes at most.
    static constexpr int kMostRanked = 10000;
    // Rates are told over about this long, from samples taken every kSampleMs.
    static constexpr int kSampleMs = 5000;
    static constexpr std::size_t kSamples = 13;

    // loop, when given, drives the samples the rates are worked out from.
    Console(ConsoleOperations& lobby, const MonotonicClock& clock, EventLoop* loop, ConsoleSetup setup);
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // One request line; answer runs once with the whole answer (console_protocol's form), at
    // once or, for the changes that must reach the disk first, once they have.
    using Answer = std::function<void(std::string answer)>;
    void Handle(std::string_view line, Answer answer);

    // Takes a sample of the traffic counters now (the loop's timer does, every kSampleMs).
    void Sample();

    // Where each change to the lobby made from the console is told, one line for the
    // operator's record ("console: kick ana: ana is offline now; ..."); none until set.
    void TellChangesTo(std::function<void(const std::string&)> tell) { tell_ = std::move(tell); }

    // What the metrics command answers in text: the figures in Prometheus's text format, as
    // the HTTP endpoint serves them too.
    std::string MetricsText() const { return Metrics().text; }

private:
    struct TrafficSample {
        std::int64_t ms;
        std::uint64_t received;
        std::uint64_t sent;
    };
    using Words = std::vector<std::string>;
    // A command's reply, now or (when it waits for a save) later.
    using Reply = std::function<void(ConsoleReply)>;

    void Run(const Words& words, const Reply& reply);
    // reply, telling the operator's record first what the change was (the command and its
    // first shownWords words) and how it ended.
    Reply Told(const Words& words, std::size_t shownWords, const Reply& reply) const;
    ConsoleReply Status() const;
    ConsoleReply Who() const;
    ConsoleReply Top(const Words& words) const;
    ConsoleReply Notice(const Words& words);
    ConsoleReply Kick(const Words& words);
    void ChangePassword(const Words& words, const Reply& reply);
    void Remove(const Words& words, const Reply& reply);
    void RemoveEmptyNicks(const Reply& reply);
    void Score(const Words& words, const Reply& reply);
    void Save(const Reply& reply);
    ConsoleReply Ban(const Words& words, bool add);
    ConsoleReply Bans() const;
    ConsoleReply Metrics() const;

    ConsoleOperations& operations_; // what the console shows, and the changes it makes
    const MonotonicClock& clock_;
    ConsoleSetup setup_;
    std::int64_t startedMs_;
    std::deque<TrafficSample> samples_;
    std::function<void(const std::string&)> tell_;
    std::unique_ptr<EventLoop::Registration> sampleTimer_;
};

} // namespace lobby
