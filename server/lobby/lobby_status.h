#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/lobby/handler_clock.h"
#include "server/lobby/message_sender.h"
#include "server/registry/registry.h"
#include "server/traffic_log/traffic_log.h"

namespace lobby {

// What the lobby tells the operator of itself: its traffic since start-up, when each player
// last made a request, and the status line made of them.
class LobbyStatus {
public:
    LobbyStatus(const Registry& table, const TrafficLog& log, const HandlerClock& clock)
        : table_(table), log_(log), clock_(clock)
    {
    }

    TrafficCounters& Counters() { return counters_; }
    const TrafficCounters& Counters() const { return counters_; }
    // A datagram not served: a failed receive, one over the flood limits, one banned.
    void CountDropped() { ++counters_.dropped; }

    // The player in row made a request now.
    void NoteRequest(int row);
    // Seconds since the player made a request; nothing when it made none since start-up.
    std::optional<std::int64_t> SecondsSinceRequest(Registry::RowId id) const;

    // "players online N, registered N, datagrams in N, out N, dropped N, log today 12.3 MB".
    std::string Line() const;

private:
    const Registry& table_;
    const TrafficLog& log_;
    const HandlerClock& clock_;
    TrafficCounters counters_;
    std::vector<std::uint32_t> lastRequestSecond_; // by row identity: monotonic second + 1; 0 none
};

} // namespace lobby
