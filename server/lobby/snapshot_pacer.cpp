#include "server/lobby/snapshot_pacer.h"

#include <algorithm>

namespace lobby {

std::int64_t SnapshotPacer::IntervalMs(std::size_t online) const
{
    if (intervalMs_ <= 0)
        return 0;
    return std::max(intervalMs_, static_cast<std::int64_t>(online) * 1000 / kMostDatagramsPerSecond);
}

bool SnapshotPacer::TakeNow(Kind kind, std::int64_t nowMs, std::size_t online)
{
    const std::int64_t interval = IntervalMs(online);
    if (interval == 0)
        return true;
    Bucket& bucket = buckets_[kind];
    // The burst is kBurst broadcasts of a small lobby's interval: in a big lobby fewer, so
    // that a burst never sends more than a small lobby's would (one at the least).
    const std::int64_t capacity = std::max(kBurst * intervalMs_, interval);
    if (bucket.refilledMs == INT64_MIN)
        bucket.level = capacity;
    else if (nowMs > bucket.refilledMs)
        bucket.level = std::min(capacity, bucket.level + (nowMs - bucket.refilledMs));
    bucket.refilledMs = std::max(bucket.refilledMs, nowMs); // a clock gone back refills nothing
    bucket.intervalMs = interval;
    if (bucket.level < interval) {
        bucket.pending = true;
        return false;
    }
    bucket.level -= interval;
    bucket.pending = false;
    return true;
}

std::optional<std::int64_t> SnapshotPacer::NextDueMs() const
{
    std::optional<std::int64_t> due;
    for (const Bucket& bucket : buckets_) {
        if (bucket.pending)
            due = std::min(due.value_or(INT64_MAX), DueMs(bucket));
    }
    return due;
}

bool SnapshotPacer::TakeDue(Kind kind, std::int64_t nowMs, std::size_t online)
{
    if (!buckets_[kind].pending || nowMs < DueMs(buckets_[kind]))
        return false;
    return TakeNow(kind, nowMs, online);
}

} // namespace lobby
