#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The limits one source address is held to. 0 switches a limit off.
struct FloodLimits {
    std::uint32_t requestsPerSecond = 50;    // the burst allowed is twice this
    std::uint32_t registrationsPerHour = 20; // new nicks: this many at once, then this many an hour
    // Kilobytes a second the lobby may send because of one address's requests (its replies
    // and the broadcasts they set off), with four seconds' worth at once: a broadcast goes to
    // every player online, so the request count alone does not bound what one address makes
    // the lobby send.
    std::uint32_t sendKilobytesPerSecond = 1024;
    std::size_t maxAddresses = 65536;        // addresses remembered at once (memory bound)
};

// Keeps one source address from taking the lobby down or using it as an amplifier: each
// address has a token bucket of requests (refilled at requestsPerSecond, holding twice that),
// one of registrations (holding registrationsPerHour, refilled at that many an hour), and a
// budget of bytes sent on its behalf (refilled at sendKilobytesPerSecond, holding four times
// that). The caller asks before it logs or answers anything and drops what is refused; it
// charges what a request made it send afterwards, which may take the budget below zero (one
// request cannot be cut half-way): the address is then refused until the debt is paid.
//
// Time is handed in by the caller (milliseconds of a monotonic clock), so tests step it.
// Memory is bounded: at most maxAddresses addresses are remembered. An address whose
// buckets are full again carries no information and is forgotten at the next summary; when
// the table is full, the address seen longest ago is forgotten to make room (it starts
// afresh, full buckets, should it come back). A flood from spoofed sources thus cycles the
// table instead of growing it.
//
// Plain C++, no I/O: the form turns the summary into one operator line a minute.
class FloodGuard {
public:
    // Raises std::invalid_argument when maxAddresses is 0.
    explicit FloodGuard(FloodLimits limits);

    const FloodLimits& Limits() const { return limits_; }

    // Takes one request from source at nowMs. False when its bucket is empty or its send
    // budget is spent: the request must be dropped unseen. Always true when both limits are off.
    bool AdmitRequest(std::string_view source, std::int64_t nowMs);

    // Charges source with bytes the lobby sent because of its latest request. An address not
    // remembered (never admitted, or forgotten since) is not charged.
    void ChargeSent(std::string_view source, std::uint64_t bytes, std::int64_t nowMs) noexcept;

    // Takes one registration (a request that would add a new nick) from source at nowMs.
    // False when the source has used its allowance: the request must be dropped unseen.
    // Always true when the registration limit is off.
    bool AdmitRegistration(std::string_view source, std::int64_t nowMs);

    // The operator's line about the drops since the last call, or nothing when there were
    // none: how many were dropped and the busiest addresses, e.g. "Flood guard: 1200
    // requests dropped in the last minute (limits 50/s, 20 new nicks/h, 1024 KB/s sent); busiest: 10.0.0.5
    // (1190), 10.0.0.9 (10)". Starts a new period and forgets the addresses that are idle.
    std::optional<std::string> TakeSummary(std::int64_t nowMs);

    // Addresses remembered now; never more than maxAddresses.
    std::size_t TrackedAddresses() const { return index_.size(); }
    // Requests dropped since the guard was made.
    std::uint64_t DroppedTotal() const { return droppedTotal_; }

    // The most addresses a summary names.
    static constexpr std::size_t kBusiestShown = 5;

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    struct Entry {
        std::uint64_t key = 0;
        std::int64_t requestLevel = 0;      // in 1/1000 of a request
        std::int64_t requestRefilledMs = 0; // when requestLevel was last brought up to date
        std::int64_t registrationLevel = 0; // in 1/3,600,000 of a registration
        std::int64_t registrationRefilledMs = 0;
        std::int64_t sendLevel = 0;         // in 1/1000 of a byte; below zero while in debt
        std::int64_t sendRefilledMs = 0;
        std::uint64_t droppedInPeriod = 0;
        std::uint32_t newer = kNone; // the list of entries by last use, most recent first
        std::uint32_t older = kNone;
    };

    Entry& Touch(std::string_view source, std::int64_t nowMs);
    void Refill(Entry& entry, std::int64_t nowMs) const;
    bool Idle(const Entry& entry) const;
    void Unlink(std::uint32_t slot);
    void LinkNewest(std::uint32_t slot);
    void Forget(std::uint32_t slot);

    std::int64_t RequestCapacity() const;
    std::int64_t RegistrationCapacity() const;
    std::int64_t SendCapacity() const;
    std::int64_t SendPerMs() const;

    FloodLimits limits_;
    std::vector<Entry> entries_;
    std::vector<std::uint32_t> freeSlots_;
    std::unordered_map<std::uint64_t, std::uint32_t> index_;
    std::uint32_t newest_ = kNone;
    std::uint32_t oldest_ = kNone;
    std::uint64_t droppedInPeriod_ = 0;
    std::uint64_t droppedTotal_ = 0;
    std::uint64_t busyForgottenInPeriod_ = 0; // entries with state pushed out by the bound
};

// The key an address is remembered under: a dotted IPv4 address is its 32-bit number; any
// other text is hashed above 2^32, so it never meets a real address.
std::uint64_t SourceKey(std::string_view source);
// The text of a key: dotted decimal for IPv4 keys, "(other source)" for hashed ones.
std::string SourceText(std::uint64_t key);
