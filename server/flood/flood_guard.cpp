#include "server/flood/flood_guard.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "net/dotted_quad.h"

namespace lobby {

namespace {

constexpr std::int64_t kRequestUnit = 1000;         // 1 request = 1000 units; +rate units a ms
constexpr std::int64_t kRegistrationUnit = 3600000; // 1 registration = ms in an hour; +limit a ms
constexpr std::int64_t kLobbyRegistrationUnit = 1000; // 1 new nick = 1000 units; +limit a ms
constexpr std::int64_t kLobbyRegistrationBurstSeconds = 10;
// The output meters are sums decayed with this time constant: a source causing r datagrams a
// second steadily reads about r. A second answers fast enough to a flood that starts, and is
// long enough that a player's one chat line to a big lobby is not taken for a flood.
constexpr double kOutputWindowMs = 1000;
// How often, at most, the fair level is worked out anew while the lobby is over its output.
constexpr std::int64_t kOutputLevelMs = 100;
// A meter below this is taken as nothing: the source is no longer looked at.
constexpr double kOutputNegligible = 0.5;

double Decayed(double value, std::int64_t elapsedMs)
{
    return elapsedMs <= 0 ? value : value * std::exp(-static_cast<double>(elapsedMs) / kOutputWindowMs);
}

// The level L at which the sources, each served min(its output, L), spend exactly capacity;
// infinity when all of them together spend less. outputs is sorted on the way.
double FairLevel(std::vector<double>& outputs, double capacity)
{
    std::sort(outputs.begin(), outputs.end());
    double remaining = capacity;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const double share = remaining / static_cast<double>(outputs.size() - i);
        if (outputs[i] > share)
            return share;
        remaining -= outputs[i];
    }
    return std::numeric_limits<double>::infinity();
}

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

} // namespace

AddressKey SourceKey(std::string_view source)
{
    if (const auto ipv4 = ParseDottedQuad(source))
        return *ipv4;
    std::uint64_t hash = 1469598103934665603ull; // FNV-1a
    for (const char c : source) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash | (1ull << 63);
}

std::string SourceText(AddressKey key)
{
    if (key > 0xFFFFFFFFull)
        return "(other source)";
    return DottedQuadText(static_cast<std::uint32_t>(key));
}


namespace {

// The limits as the guard keeps them: at least one address, and at most kMaxAddresses (the
// index is sized for them at once).
FloodLimits Checked(FloodLimits limits)
{
    if (limits.maxAddresses == 0)
        throw std::invalid_argument("the flood guard must remember at least one address");
    limits.maxAddresses = std::min(limits.maxAddresses, FloodGuard::kMaxAddresses);
    return limits;
}

} // namespace

FloodGuard::FloodGuard(FloodLimits limits) : limits_(Checked(limits)), index_(limits_.maxAddresses)
{
    runDatagram_.reserve(2048); // a datagram's most, so a run's start does not allocate
}

void FloodGuard::SetLimits(FloodLimits limits)
{
    limits.maxAddresses = limits_.maxAddresses;
    const FloodLimits old = std::exchange(limits_, limits);
    for (Entry& entry : entries_) {
        if (limits_.requestsPerSecond != old.requestsPerSecond)
            entry.requestLevel = RequestCapacity();
        if (limits_.registrationsPerHour != old.registrationsPerHour)
            entry.registrationLevel = RegistrationCapacity();
        if (limits_.silentSendKilobytesPerSecond != old.silentSendKilobytesPerSecond)
            entry.sendLevel = SendCapacity();
    }
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
    return static_cast<std::int64_t>(limits_.silentSendKilobytesPerSecond) * 1024;
}

std::int64_t FloodGuard::SendCapacity() const
{
    return 4 * 1000 * SendPerMs();
}

void FloodGuard::StartRound(std::int64_t nowMs)
{
    roundMs_ = nowMs;
    runOpen_ = false;
}

bool FloodGuard::AdmitRequest(std::string_view source, std::int64_t nowMs)
{
    return AdmitRequest(SourceKey(source), nowMs);
}

bool FloodGuard::AdmitRequest(AddressKey source, std::int64_t nowMs)
{
    StartRound(nowMs);
    if (limits_.requestsPerSecond == 0 && limits_.silentSendKilobytesPerSecond == 0 &&
        limits_.lobbyDatagramsPerSecond == 0)
        return true;
    Entry& entry = Touch(source, nowMs);
    if (limits_.requestsPerSecond != 0 && entry.requestLevel < kRequestUnit) {
        ++entry.held.requests;
        ++heldInPeriod_.requests;
        ++droppedTotal_;
        return false;
    }
    if (OverOutputShare(entry, nowMs)) {
        ++entry.held.share;
        ++heldInPeriod_.share;
        ++droppedTotal_;
        return false;
    }
    if (limits_.requestsPerSecond != 0)
        entry.requestLevel -= kRequestUnit;
    entry.heardMs = std::max(entry.heardMs, nowMs);
    return true;
}

// Only while the whole lobby is over its output does a source's own meter matter: then one
// over the fair level waits until its meter has come down to it, so over a second it gets
// about the level, and a source below it is served in full.
bool FloodGuard::OverOutputShare(Entry& entry, std::int64_t nowMs)
{
    if (limits_.lobbyDatagramsPerSecond == 0 || entry.outputIndex == kNone)
        return false;
    lobbyOutput_ = Decayed(lobbyOutput_, nowMs - lobbyOutputMs_);
    lobbyOutputMs_ = std::max(lobbyOutputMs_, nowMs);
    if (lobbyOutput_ < limits_.lobbyDatagramsPerSecond)
        return false;
    DecayOutput(entry, nowMs);
    return entry.output > OutputLevel(nowMs);
}

void FloodGuard::DecayOutput(Entry& entry, std::int64_t nowMs) const
{
    entry.output = Decayed(entry.output, nowMs - entry.outputMs);
    entry.outputMs = std::max(entry.outputMs, nowMs);
}

// The fair level over the sources with some output, kept for kOutputLevelMs; sources whose
// meter has come down to nothing are let go on the way.
double FloodGuard::OutputLevel(std::int64_t nowMs)
{
    if (outputLevelMs_ != kNever && nowMs >= outputLevelMs_ && nowMs - outputLevelMs_ < kOutputLevelMs)
        return outputLevel_;
    levelScratch_.clear();
    for (std::size_t i = 0; i < outputSlots_.size();) {
        const std::uint32_t slot = outputSlots_[i];
        DecayOutput(entries_[slot], nowMs);
        if (entries_[slot].output < kOutputNegligible) {
            UntrackOutput(slot); // moves the last one here
            continue;
        }
        levelScratch_.push_back(entries_[slot].output);
        ++i;
    }
    outputLevel_ = FairLevel(levelScratch_, limits_.lobbyDatagramsPerSecond);
    outputLevelMs_ = nowMs;
    return outputLevel_;
}

void FloodGuard::UntrackOutput(std::uint32_t slot)
{
    Entry& entry = entries_[slot];
    const std::uint32_t index = entry.outputIndex;
    const std::uint32_t last = outputSlots_.back();
    outputSlots_[index] = last;
    entries_[last].outputIndex = index;
    outputSlots_.pop_back();
    entry.outputIndex = kNone;
    entry.output = 0;
}

void FloodGuard::ChargeOutput(AddressKey source, std::uint64_t datagrams, std::int64_t nowMs)
{
    if (limits_.lobbyDatagramsPerSecond == 0 || datagrams == 0)
        return;
    Entry& entry = Touch(source, nowMs);
    DecayOutput(entry, nowMs);
    entry.output += static_cast<double>(datagrams);
    if (entry.outputIndex == kNone) {
        entry.outputIndex = static_cast<std::uint32_t>(outputSlots_.size());
        outputSlots_.push_back(static_cast<std::uint32_t>(&entry - entries_.data()));
    }
    lobbyOutput_ = Decayed(lobbyOutput_, nowMs - lobbyOutputMs_) + static_cast<double>(datagrams);
    lobbyOutputMs_ = std::max(lobbyOutputMs_, nowMs);
}

bool FloodGuard::AdmitRegistration(std::string_view source, std::int64_t nowMs)
{
    return AdmitRegistration(SourceKey(source), nowMs);
}

bool FloodGuard::AdmitRegistration(AddressKey source, std::int64_t nowMs)
{
    if (limits_.registrationsPerHour == 0)
        return true;
    Entry& entry = Touch(source, nowMs);
    if (entry.registrationLevel >= kRegistrationUnit) {
        entry.registrationLevel -= kRegistrationUnit;
        return true;
    }
    ++entry.held.registrations;
    ++heldInPeriod_.registrations;
    ++droppedTotal_;
    return false;
}

std::uint32_t FloodGuard::RegistrationsLeft(AddressKey source, std::int64_t nowMs)
{
    if (limits_.registrationsPerHour == 0)
        return std::numeric_limits<std::uint32_t>::max();
    const std::uint32_t found = index_.Find(source);
    if (found == kNone)
        return limits_.registrationsPerHour;
    Refill(entries_[found], nowMs);
    return static_cast<std::uint32_t>(entries_[found].registrationLevel / kRegistrationUnit);
}

bool FloodGuard::AdmitLobbyRegistration(std::int64_t nowMs)
{
    if (limits_.lobbyRegistrationsPerSecond == 0)
        return true;
    const std::int64_t capacity =
        static_cast<std::int64_t>(limits_.lobbyRegistrationsPerSecond) * kLobbyRegistrationBurstSeconds * kLobbyRegistrationUnit;
    if (lobbyRegistrationRefilledMs_ == kNever)
        lobbyRegistrationLevel_ = capacity;
    else if (nowMs > lobbyRegistrationRefilledMs_)
        lobbyRegistrationLevel_ = Refilled(lobbyRegistrationLevel_, capacity, nowMs - lobbyRegistrationRefilledMs_,
                                           limits_.lobbyRegistrationsPerSecond);
    lobbyRegistrationRefilledMs_ = std::max(lobbyRegistrationRefilledMs_, nowMs);
    if (lobbyRegistrationLevel_ < kLobbyRegistrationUnit)
        return false;
    lobbyRegistrationLevel_ -= kLobbyRegistrationUnit;
    return true;
}

std::int64_t FloodGuard::LobbyRegistrationDueMs(std::int64_t nowMs) const
{
    if (limits_.lobbyRegistrationsPerSecond == 0 || lobbyRegistrationRefilledMs_ == kNever)
        return nowMs;
    const std::int64_t perMs = limits_.lobbyRegistrationsPerSecond;
    const std::int64_t missing = kLobbyRegistrationUnit - lobbyRegistrationLevel_;
    return std::max(nowMs, lobbyRegistrationRefilledMs_ + (missing + perMs - 1) / perMs);
}

void FloodGuard::CountRegistrationNotServed(AddressKey source)
{
    ++heldInPeriod_.waited;
    ++droppedTotal_;
    if (const std::uint32_t found = index_.Find(source); found != kNone)
        ++entries_[found].held.waited;
}

bool FloodGuard::AdmitSend(std::string_view destination, std::string_view datagram)
{
    if (limits_.silentSendKilobytesPerSecond == 0)
        return true;
    return AdmitSend(SourceKey(destination), datagram);
}

bool FloodGuard::AdmitSend(AddressKey destination, std::string_view datagram)
{
    if (limits_.silentSendKilobytesPerSecond == 0 || destination > 0xFFFFFFFFull)
        return true;
    // A broadcast hands the same bytes for every row, so comparing with the previous datagram
    // finds where a run starts (memcmp of at most 2 KB: a fraction of what the send costs).
    if (!runOpen_ || datagram.size() != runDatagram_.size() ||
        std::memcmp(datagram.data(), runDatagram_.data(), datagram.size()) != 0) {
        runDatagram_.assign(datagram);
        ++run_;
        runOpen_ = true;
    }
    Entry& entry = Touch(destination, roundMs_);
    if (entry.run == run_) {
        ++entry.held.copies;
        ++heldInPeriod_.copies;
        ++withheldTotal_;
        return false;
    }
    entry.run = run_;
    if (roundMs_ - entry.heardMs >= kSilentAfterMs) {
        const auto cost = static_cast<std::int64_t>(datagram.size()) * 1000;
        if (entry.sendLevel < cost) {
            ++entry.held.silent;
            ++heldInPeriod_.silent;
            ++withheldTotal_;
            return false;
        }
        entry.sendLevel -= cost;
    }
    entry.sentMs = roundMs_;
    return true;
}

// The entry for key, brought up to date and made the most recent; a new key starts with
// full buckets and as heard from now, taking the place of the least recent one when the
// table is full.
FloodGuard::Entry& FloodGuard::Touch(AddressKey key, std::int64_t nowMs)
{
    if (const std::uint32_t found = index_.Find(key); found != kNone) {
        Entry& entry = entries_[found];
        Refill(entry, nowMs);
        if (newest_ != found) {
            Unlink(found);
            LinkNewest(found);
        }
        return entry;
    }
    if (index_.Size() >= limits_.maxAddresses) {
        const std::uint32_t victim = oldest_;
        Refill(entries_[victim], nowMs);
        if (!Idle(entries_[victim], nowMs))
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
    entry.heardMs = nowMs;
    index_.Insert(key, slot);
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

// Nothing would change if the entry were forgotten and made afresh: its buckets are full,
// it held nothing back this period, and it has not been sent anything for long. (Made
// afresh it counts as heard from, which only a silent address's budget would notice; an
// address still being sent to is kept for that.)
bool FloodGuard::Idle(const Entry& entry, std::int64_t nowMs) const
{
    return entry.requestLevel >= RequestCapacity() && entry.registrationLevel >= RegistrationCapacity() &&
           entry.sendLevel >= SendCapacity() && entry.held.Total() == 0 && entry.outputIndex == kNone &&
           (entry.sentMs == kNever || nowMs - entry.sentMs >= kRememberSentMs);
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
    if (entries_[slot].outputIndex != kNone)
        UntrackOutput(slot);
    Unlink(slot);
    index_.Erase(entries_[slot].key);
    freeSlots_.push_back(slot);
}

namespace {

// "1 request", "3 requests".
std::string Counted(std::uint64_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace

// Each kind that held something back, with the limit behind it, then the busiest addresses
// with what each had held back.
std::string FloodGuard::SummaryText() const
{
    // Per kind held back: its noun, why (the limit behind it) for the minute's counts, and
    // what an address's count adds.
    struct Kind {
        const char* one;
        const char* many;
        std::string why;
        const char* ofAddress;
    };
    const Kind kinds[] = {
        {"request", "requests", " dropped (over " + std::to_string(limits_.requestsPerSecond) + "/s)", ""},
        {"new nick", "new nicks", " dropped (over " + std::to_string(limits_.registrationsPerHour) + "/h)", ""},
        {"datagram", "datagrams",
         " not sent to addresses silent for 10 minutes (over " + std::to_string(limits_.silentSendKilobytesPerSecond) +
             " KB/s)",
         ""},
        {"copy", "copies", " not sent (the same datagram again to one address)", ""},
        {"request", "requests",
         " dropped (over their source's share of the lobby's " + std::to_string(limits_.lobbyDatagramsPerSecond) +
             " datagrams/s)",
         " over its share"},
        {"new nick", "new nicks",
         " dropped after waiting (over the lobby's " + std::to_string(limits_.lobbyRegistrationsPerSecond) + "/s)",
         " not served"},
    };
    const auto listed = [&](const auto& held, bool minute) {
        std::string list;
        const auto counts = held.Counts();
        for (std::size_t k = 0; k < counts.size(); ++k) {
            if (counts[k] > 0)
                list += (list.empty() ? "" : ", ") + Counted(counts[k], kinds[k].one, kinds[k].many) +
                        (minute ? kinds[k].why : kinds[k].ofAddress);
        }
        return list;
    };
    std::string text = "Flood guard: in the last minute " + listed(heldInPeriod_, true);

    std::vector<std::pair<std::uint64_t, std::uint32_t>> busiest; // held back, slot
    for (std::uint32_t slot = newest_; slot != kNone; slot = entries_[slot].older) {
        if (const std::uint64_t total = entries_[slot].held.Total(); total > 0)
            busiest.emplace_back(total, slot);
    }
    const std::size_t shown = std::min(busiest.size(), kBusiestShown);
    std::partial_sort(busiest.begin(), busiest.begin() + static_cast<std::ptrdiff_t>(shown), busiest.end(),
                      [&](const auto& a, const auto& b) {
                          return a.first > b.first || (a.first == b.first && entries_[a.second].key < entries_[b.second].key);
                      });
    for (std::size_t i = 0; i < shown; ++i) {
        const Entry& entry = entries_[busiest[i].second];
        text += (i ? "), " : "; busiest: ") + SourceText(entry.key) + " (" + listed(entry.held, false);
    }
    if (shown > 0)
        text += ")";
    if (busyForgottenInPeriod_ > 0)
        text += "; " + std::to_string(busyForgottenInPeriod_) + " busy addresses forgotten to stay within " +
                std::to_string(limits_.maxAddresses);
    return text;
}

std::optional<std::string> FloodGuard::TakeSummary(std::int64_t nowMs)
{
    StartRound(nowMs);
    std::optional<std::string> summary;
    if (heldInPeriod_.Total() > 0)
        summary = SummaryText();
    heldBeforePeriod_ += heldInPeriod_;
    heldInPeriod_ = {};
    busyForgottenInPeriod_ = 0;

    // A new period: counts start at 0, and what carries no information is forgotten.
    for (std::uint32_t slot = oldest_; slot != kNone;) {
        Entry& entry = entries_[slot];
        const std::uint32_t newer = entry.newer;
        entry.held = {};
        Refill(entry, nowMs);
        if (entry.outputIndex != kNone) {
            DecayOutput(entry, nowMs);
            if (entry.output < kOutputNegligible)
                UntrackOutput(slot);
        }
        if (Idle(entry, nowMs))
            Forget(slot);
        slot = newer;
    }
    return summary;
}

} // namespace lobby
