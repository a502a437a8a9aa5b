#include "server/flood_guard.h"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr std::int64_t kRequestUnit = 1000;         // 1 request = 1000 units; +rate units a ms
constexpr std::int64_t kRegistrationUnit = 3600000; // 1 registration = ms in an hour; +limit a ms

// Adds elapsed * perMs to level without passing capacity (and without overflowing on a
// long idle gap or a clock that jumped).
std::int64_t Refilled(std::int64_t level, std::int64_t capacity, std::int64_t elapsedMs, std::int64_t perMs)
{
    if (elapsedMs <= 0 || perMs <= 0 || level >= capacity)
        return std::min(level, capacity);
    const std::int64_t missing = capacity - level;
    if (elapsedMs >= (missing + perMs - 1) / perMs)
        return capacity;
    return level + elapsedMs * perMs;
}

std::optional<std::uint32_t> ParseDottedIpv4(std::string_view text)
{
    std::uint32_t value = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return std::nullopt;
            ++pos;
        }
        std::uint32_t number = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
            number = number * 10 + static_cast<std::uint32_t>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || number > 255)
            return std::nullopt;
        value = (value << 8) | number;
    }
    if (pos != text.size())
        return std::nullopt;
    return value;
}

} // namespace

std::uint64_t SourceKey(std::string_view source)
{
    if (const auto ipv4 = ParseDottedIpv4(source))
        return *ipv4;
    std::uint64_t hash = 1469598103934665603ull; // FNV-1a
    for (const char c : source) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash | (1ull << 63);
}

std::string SourceText(std::uint64_t key)
{
    if (key > 0xFFFFFFFFull)
        return "(other source)";
    return std::to_string(key >> 24) + "." + std::to_string((key >> 16) & 255) + "." +
           std::to_string((key >> 8) & 255) + "." + std::to_string(key & 255);
}

FloodGuard::FloodGuard(FloodLimits limits) : limits_(limits)
{
    if (limits_.maxAddresses == 0)
        throw std::invalid_argument("the flood guard must remember at least one address");
    if (limits_.maxAddresses > kNone - 1)
        limits_.maxAddresses = kNone - 1;
}

std::int64_t FloodGuard::RequestCapacity() const
{
    return 2 * static_cast<std::int64_t>(limits_.requestsPerSecond) * kRequestUnit;
}

std::int64_t FloodGuard::RegistrationCapacity() const
{
    return static_cast<std::int64_t>(limits_.registrationsPerHour) * kRegistrationUnit;
}

// The send budget counts thousandths of a byte, so a budget of N KB a second grows by
// exactly N * 1024 units a millisecond.
std::int64_t FloodGuard::SendPerMs() const
{
    return static_cast<std::int64_t>(limits_.sendKilobytesPerSecond) * 1024;
}

std::int64_t FloodGuard::SendCapacity() const
{
    return 4 * 1000 * SendPerMs();
}

bool FloodGuard::AdmitRequest(std::string_view source, std::int64_t nowMs)
{
    if (limits_.requestsPerSecond == 0 && limits_.sendKilobytesPerSecond == 0)
        return true;
    Entry& entry = Touch(source, nowMs);
    const bool requestAllowed = limits_.requestsPerSecond == 0 || entry.requestLevel >= kRequestUnit;
    const bool sendAllowed = limits_.sendKilobytesPerSecond == 0 || entry.sendLevel > 0;
    if (requestAllowed && sendAllowed) {
        if (limits_.requestsPerSecond != 0)
            entry.requestLevel -= kRequestUnit;
        return true;
    }
    ++entry.droppedInPeriod;
    ++droppedInPeriod_;
    ++droppedTotal_;
    return false;
}

void FloodGuard::ChargeSent(std::string_view source, std::uint64_t bytes, std::int64_t nowMs) noexcept
{
    if (limits_.sendKilobytesPerSecond == 0 || bytes == 0)
        return;
    // Only an address admitted a moment ago is charged, so this never allocates (and so never
    // throws); one forgotten since starts afresh anyway.
    const auto found = index_.find(SourceKey(source));
    if (found == index_.end())
        return;
    Entry& entry = entries_[found->second];
    Refill(entry, nowMs);
    // Bounded below, so no run of charges can overflow; a debt this deep takes an hour to pay.
    const std::int64_t floor = -3600 * 1000 * SendPerMs();
    const auto charge = static_cast<std::int64_t>(std::min<std::uint64_t>(bytes, 1ull << 40)) * 1000;
    entry.sendLevel = std::max(floor, entry.sendLevel - charge);
}

bool FloodGuard::AdmitRegistration(std::string_view source, std::int64_t nowMs)
{
    if (limits_.registrationsPerHour == 0)
        return true;
    Entry& entry = Touch(source, nowMs);
    if (entry.registrationLevel >= kRegistrationUnit) {
        entry.registrationLevel -= kRegistrationUnit;
        return true;
    }
    ++entry.droppedInPeriod;
    ++droppedInPeriod_;
    ++droppedTotal_;
    return false;
}

// The source's entry, brought up to date and made the most recent; a new source starts with
// full buckets, taking the place of the least recent one when the table is full.
FloodGuard::Entry& FloodGuard::Touch(std::string_view source, std::int64_t nowMs)
{
    const std::uint64_t key = SourceKey(source);
    if (const auto found = index_.find(key); found != index_.end()) {
        Entry& entry = entries_[found->second];
        Refill(entry, nowMs);
        if (newest_ != found->second) {
            Unlink(found->second);
            LinkNewest(found->second);
        }
        return entry;
    }
    if (index_.size() >= limits_.maxAddresses) {
        const std::uint32_t victim = oldest_;
        Refill(entries_[victim], nowMs);
        if (!Idle(entries_[victim]))
            ++busyForgottenInPeriod_;
        Forget(victim);
    }
    std::uint32_t slot;
    if (!freeSlots_.empty()) {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(entries_.size());
        entries_.emplace_back();
    }
    Entry& entry = entries_[slot];
    entry = Entry{};
    entry.key = key;
    entry.requestLevel = RequestCapacity();
    entry.requestRefilledMs = nowMs;
    entry.registrationLevel = RegistrationCapacity();
    entry.registrationRefilledMs = nowMs;
    entry.sendLevel = SendCapacity();
    entry.sendRefilledMs = nowMs;
    index_.emplace(key, slot);
    LinkNewest(slot);
    return entry;
}

void FloodGuard::Refill(Entry& entry, std::int64_t nowMs) const
{
    // A clock that went back is taken as no time passing, never as a refill.
    if (nowMs > entry.requestRefilledMs) {
        entry.requestLevel = Refilled(entry.requestLevel, RequestCapacity(), nowMs - entry.requestRefilledMs,
                                      limits_.requestsPerSecond);
        entry.requestRefilledMs = nowMs;
    }
    if (nowMs > entry.registrationRefilledMs) {
        entry.registrationLevel = Refilled(entry.registrationLevel, RegistrationCapacity(),
                                           nowMs - entry.registrationRefilledMs, limits_.registrationsPerHour);
        entry.registrationRefilledMs = nowMs;
    }
    if (nowMs > entry.sendRefilledMs) {
        entry.sendLevel = Refilled(entry.sendLevel, SendCapacity(), nowMs - entry.sendRefilledMs, SendPerMs());
        entry.sendRefilledMs = nowMs;
    }
}

// Nothing would change if the entry were forgotten and made afresh.
bool FloodGuard::Idle(const Entry& entry) const
{
    return entry.requestLevel >= RequestCapacity() && entry.registrationLevel >= RegistrationCapacity() &&
           entry.sendLevel >= SendCapacity() && entry.droppedInPeriod == 0;
}

void FloodGuard::Unlink(std::uint32_t slot)
{
    Entry& entry = entries_[slot];
    if (entry.newer != kNone)
        entries_[entry.newer].older = entry.older;
    else
        newest_ = entry.older;
    if (entry.older != kNone)
        entries_[entry.older].newer = entry.newer;
    else
        oldest_ = entry.newer;
    entry.newer = entry.older = kNone;
}

void FloodGuard::LinkNewest(std::uint32_t slot)
{
    Entry& entry = entries_[slot];
    entry.newer = kNone;
    entry.older = newest_;
    if (newest_ != kNone)
        entries_[newest_].newer = slot;
    newest_ = slot;
    if (oldest_ == kNone)
        oldest_ = slot;
}

void FloodGuard::Forget(std::uint32_t slot)
{
    Unlink(slot);
    index_.erase(entries_[slot].key);
    freeSlots_.push_back(slot);
}

std::optional<std::string> FloodGuard::TakeSummary(std::int64_t nowMs)
{
    std::optional<std::string> summary;
    if (droppedInPeriod_ > 0) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> busiest; // dropped, key
        for (std::uint32_t slot = newest_; slot != kNone; slot = entries_[slot].older) {
            const Entry& entry = entries_[slot];
            if (entry.droppedInPeriod > 0)
                busiest.emplace_back(entry.droppedInPeriod, entry.key);
        }
        const std::size_t shown = std::min(busiest.size(), kBusiestShown);
        std::partial_sort(busiest.begin(), busiest.begin() + static_cast<std::ptrdiff_t>(shown), busiest.end(),
                          [](const auto& a, const auto& b) { return a.first > b.first || (a.first == b.first && a.second < b.second); });
        std::string text = "Flood guard: " + std::to_string(droppedInPeriod_) + " request" +
                           (droppedInPeriod_ == 1 ? "" : "s") + " dropped in the last minute (limits " +
                           (limits_.requestsPerSecond ? std::to_string(limits_.requestsPerSecond) + "/s" : "off") +
                           ", " +
                           (limits_.registrationsPerHour ? std::to_string(limits_.registrationsPerHour) + " new nicks/h"
                                                         : "new nicks unlimited") +
                           ", " +
                           (limits_.sendKilobytesPerSecond ? std::to_string(limits_.sendKilobytesPerSecond) + " KB/s sent"
                                                           : "sending unlimited") +
                           ")";
        if (shown > 0) {
            text += "; busiest:";
            for (std::size_t i = 0; i < shown; ++i)
                text += (i ? ", " : " ") + SourceText(busiest[i].second) + " (" + std::to_string(busiest[i].first) + ")";
        }
        if (busyForgottenInPeriod_ > 0)
            text += "; " + std::to_string(busyForgottenInPeriod_) + " busy addresses forgotten to stay within " +
                    std::to_string(limits_.maxAddresses);
        summary = std::move(text);
    }
    droppedInPeriod_ = 0;
    busyForgottenInPeriod_ = 0;

    // A new period: counts start at 0, and what has refilled completely is forgotten.
    for (std::uint32_t slot = oldest_; slot != kNone;) {
        Entry& entry = entries_[slot];
        const std::uint32_t newer = entry.newer;
        entry.droppedInPeriod = 0;
        Refill(entry, nowMs);
        if (Idle(entry))
            Forget(slot);
        slot = newer;
    }
    return summary;
}
