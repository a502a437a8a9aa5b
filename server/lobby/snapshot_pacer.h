#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace lobby {

// When the player list and the ranking are broadcast. Each is a snapshot that supersedes the
// one before, so changes that come faster than the lobby should broadcast them can be merged:
// each kind has a bucket of broadcasts, holding kBurst and refilled one every interval. A
// change that finds a broadcast in it goes out at once, as every change always did; one that
// does not is pending, and with the changes after it goes out as one broadcast when the next
// comes in, at most an interval later. So a lobby whose lists change now and then sends
// exactly what it always sent, and one flooded with joins sends a list and a ranking per
// interval whatever the rate of requests. The burst lets a short run of changes (a few
// players joining together, the presence check dropping three silent players) out as before.
//
// The interval is the one given, or longer in a lobby so big that a broadcast an interval
// would send more than kMostDatagramsPerSecond (a broadcast is a datagram per player online):
// 100 ms up to 2,000 online, 500 ms at 10,000; and the burst, kBurst of the intervals given,
// holds fewer broadcasts then (1.6 at 10,000), so that it sends no more datagrams at once
// than a lobby of 2,000 would.
//
// Plain C++ and stepped time (milliseconds of a monotonic clock), so tests drive it.
class SnapshotPacer {
public:
    enum Kind { kPlayerList = 0, kRanking = 1 };
    static constexpr int kKinds = 2;
    static constexpr int kBurst = 8;
    static constexpr std::int64_t kMostDatagramsPerSecond = 20000;

    // intervalMs 0: every change goes out at once, whatever the lobby's size.
    explicit SnapshotPacer(std::int64_t intervalMs) : intervalMs_(intervalMs) {}

    // The interval for a broadcast to online players.
    std::int64_t IntervalMs(std::size_t online) const;

    // A change of kind at nowMs, to be broadcast to online players: true when it may go out
    // now (one taken from the bucket, and whatever was pending goes with it); false when it
    // is pending.
    bool TakeNow(Kind kind, std::int64_t nowMs, std::size_t online);
    bool Pending(Kind kind) const { return buckets_[kind].pending; }
    // When the first pending broadcast is due; nothing when none is pending.
    std::optional<std::int64_t> NextDueMs() const;
    // The pending broadcast of kind, when it is due at nowMs: taken (true) or not yet (false).
    bool TakeDue(Kind kind, std::int64_t nowMs, std::size_t online);

private:
    struct Bucket {
        std::int64_t level = 0;         // in ms: an interval's worth is one broadcast
        std::int64_t refilledMs = INT64_MIN;
        std::int64_t intervalMs = 0;    // the interval the pending broadcast waits for
        bool pending = false;
    };

    std::int64_t DueMs(const Bucket& bucket) const { return bucket.refilledMs + (bucket.intervalMs - bucket.level); }

    std::int64_t intervalMs_;
    Bucket buckets_[kKinds];
};

} // namespace lobby
