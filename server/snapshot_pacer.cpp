#include "server/snapshot_pacer.h"

#include <algorithm>

namespace lobby {

void SnapshotPacer::Refill(Bucket& bucket, std::int64_t nowMs) const
{
    const std::int64_t capacity = kBurst * intervalMs_;
    if (bucket.refilledMs == INT64_MIN)
        bucket.level = capacity;
    else if (nowMs > bucket.refilledMs)
        bucket.level = std::min(capacity, bucket.level + (nowMs - bucket.refilledMs));
    bucket.refilledMs = std::max(bucket.refilledMs, nowMs); // a clock gone back refills nothing
}

bool SnapshotPacer::TakeNow(Kind kind, std::int64_t nowMs)
{
    if (intervalMs_ <= 0)
        return true;
    Bucket& bucket = buckets_[kind];
    Refill(bucket, nowMs);
    if (bucket.level < intervalMs_) {
        bucket.pending = true;
        return false;
    }
    bucket.level -= intervalMs_;
    bucket.pending = false;
    return true;
}

std::int64_t SnapshotPacer::DueMs(const Bucket& bucket) const
{
    return bucket.refilledMs + (intervalMs_ - bucket.level);
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

bool SnapshotPacer::TakeDue(Kind kind, std::int64_t nowMs)
{
    if (!buckets_[kind].pending || nowMs < DueMs(buckets_[kind]))
        return false;
    return TakeNow(kind, nowMs);
}

} // namespace lobby
