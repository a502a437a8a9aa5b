#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/flood/address_index.h"

namespace lobby {

// The key the flood guard remembers an address under. Worked out once per request for its
// source, and once per datagram for other destinations.
using AddressKey = std::uint64_t;

// The key of an address: an address in the lobby's dotted form (see
// net/dotted_quad.h) is its 32-bit number; any other text (a host name, or a dotted text with
// leading zeros, which the endpoint reads as octal) is hashed above 2^32, so it never meets
// a real address.
AddressKey SourceKey(std::string_view source);

// The limits the flood guard holds addresses to. 0 switches a limit off.
struct FloodLimits {
    std::uint32_t requestsPerSecond = 50;    // from one address; the burst allowed is twice this
    std::uint32_t registrationsPerHour = 20; // new nicks from one address: this many at once, then this many an hour
    // Kilobytes a second the lobby sends to an address it has not heard a request from for
    // kSilentAfterMs, with four seconds' worth at once. 0 switches off both rules on
    // sending: this one and the one on repeated copies.
    std::uint32_t silentSendKilobytesPerSecond = 16;
    std::size_t maxAddresses = 65536; // addresses remembered at once (memory bound), at most 2^20
    // Lobby-wide, whatever the addresses: datagrams a second the lobby sends on behalf of
    // requests (chat, private lines, the answers to the sender; not the paced player lists
    // and rankings), shared fairly between the sources that cause them.
    std::uint32_t lobbyDatagramsPerSecond = 100000;
    // New nicks a second in the whole lobby, with ten seconds' worth at once.
    std::uint32_t lobbyRegistrationsPerSecond = 10;
};

// Keeps one address from taking the lobby down, and the lobby from being turned against an
// address that never asked for its traffic. Per address it keeps:
// - a token bucket of requests from it (refilled at requestsPerSecond, holding twice that):
//   a flood from one address is dropped before it is logged;
// - one of registrations from it (holding registrationsPerHour, refilled at that many an
//   hour): the registry grows slowly from any one address;
// - when it was last heard from (a request admitted), and a budget of bytes sent to it
//   (refilled at silentSendKilobytesPerSecond, holding four times that) which is spent only
//   while it has been silent for kSilentAfterMs: an address whose rows are kept online by
//   requests from elsewhere, or that was named by one forged request long ago, gets a
//   trickle, while every player online answers the presence check's ping from its own
//   address, so is heard at least every nine minutes and never meets the budget.
// And for the whole lobby:
// - what the requests make it send, metered per source (a moving sum over about a second):
//   while the sum over all sources is over lobbyDatagramsPerSecond, the sources that cause
//   the most are held to a fair share of it (the level that, with everybody below it served
//   in full, spends exactly the whole), and their requests over it are dropped. A player
//   chatting five times a second in a lobby of a thousand causes 5,000 a second, far below
//   the share while a few addresses flood;
// - the new nicks registered, lobbyRegistrationsPerSecond with ten seconds' worth at once,
//   so that sources forged by the thousand cannot grow the registry without bound.
// And on sending, copies: the datagrams sent from one request's handling (or one tick's)
// come in runs, a broadcast being a run of one datagram to every online row; within a run
// each address gets the datagram once, however many of its rows are online. A second copy
// to the same address and port brings its one game client nothing, and forged
// registrations cannot multiply what one address receives.
//
// A round is one request's or one tick's handling: AdmitRequest and TakeSummary each start
// one, and AdmitSend takes its time from it, so the clock is read once per handler and not
// once per datagram. What a broadcast costs here is one hash lookup and one comparison of
// the datagram with the previous one, and no allocation.
//
// Time is handed in by the caller (milliseconds of a monotonic clock), so tests step it.
// Memory is bounded: at most maxAddresses addresses are remembered. An address is forgotten
// at a summary once it carries no information (buckets full, nothing held back this minute,
// nothing sent to it for kRememberSentMs); when the table is full, the address used longest
// ago is forgotten to make room. An address seen anew (or again after being forgotten)
// counts as heard from at that moment: with more addresses in play than the table holds the
// rules on sending fail open, never against a player.
//
// Plain C++, no I/O: the form turns the summary into one operator line a minute.
class FloodGuard {
public:
    // An address not heard from for this long is silent. Longer than the gap between two
    // answers to the presence check's pings (a ping every five minutes, four to answer it).
    static constexpr std::int64_t kSilentAfterMs = 10 * 60 * 1000;
    // How long an address is remembered after the last datagram sent to it, so that a silent
    // address cannot be made to count as new (and heard) by pausing for a minute.
    static constexpr std::int64_t kRememberSentMs = 60 * 60 * 1000;
    // The most addresses a summary names.
    static constexpr std::size_t kBusiestShown = 5;
    // The most addresses remembered, whatever the limits say (about 130 MB then).
    static constexpr std::size_t kMaxAddresses = std::size_t{1} << 20;

    // Raises std::invalid_argument when maxAddresses is 0; more than kMaxAddresses count as
    // kMaxAddresses.
    explicit FloodGuard(FloodLimits limits);

    const FloodLimits& Limits() const { return limits_; }

    // New limits while serving (maxAddresses stays as the guard was made). The buckets of a
    // limit that changed start full under it, so nobody playing fairly meets the change as a
    // sudden wall.
    void SetLimits(FloodLimits limits);

    // The key source is remembered under (SourceKey), for a caller that asks about one
    // address more than once; with every limit off nothing is remembered, and the key is not
    // worked out (0).
    AddressKey KeyOf(std::string_view source) const
    {
        const bool anyLimit = limits_.requestsPerSecond != 0 || limits_.registrationsPerHour != 0 ||
                              limits_.silentSendKilobytesPerSecond != 0 || limits_.lobbyDatagramsPerSecond != 0;
        return anyLimit ? SourceKey(source) : 0;
    }

    // Starts a round at nowMs and takes one request from source. False when its bucket is
    // empty: the request must be dropped unseen. An admitted request makes source heard from.
    bool AdmitRequest(AddressKey source, std::int64_t nowMs);
    bool AdmitRequest(std::string_view source, std::int64_t nowMs);

    // Starts a round at nowMs without a request: for work done later on a request's behalf
    // (a new nick that waited), on the lobby's (a merged broadcast) or the operator's console.
    // What it sends is a run of its own, never taken for copies of what went before.
    void StartRound(std::int64_t nowMs);

    // Takes one registration (a request that would add a new nick) from source at nowMs.
    // False when the source has used its allowance: the request must be dropped unseen.
    // Always true when the registration limit is off.
    bool AdmitRegistration(AddressKey source, std::int64_t nowMs);
    bool AdmitRegistration(std::string_view source, std::int64_t nowMs);
    // The registrations source may still make at nowMs (whole ones); a source the guard does
    // not remember has its full allowance. The most there is when the limit is off.
    std::uint32_t RegistrationsLeft(AddressKey source, std::int64_t nowMs);

    // Takes one new nick from the lobby's allowance at nowMs; false when it is used up (the
    // request must wait, see LobbyRegistrationDueMs). Always true when the limit is off.
    bool AdmitLobbyRegistration(std::int64_t nowMs);
    // When the lobby's allowance next holds a new nick (nowMs when it holds one already).
    std::int64_t LobbyRegistrationDueMs(std::int64_t nowMs) const;
    // Counts a request that waited for the lobby's allowance and was dropped in the end (the
    // wait was full, or too long), for the summary.
    void CountRegistrationNotServed(AddressKey source);

    // The datagrams the handling of one request from source sent at nowMs (the paced player
    // lists and rankings excepted), for the lobby's fair share. Nothing when the limit is off.
    void ChargeOutput(AddressKey source, std::uint64_t datagrams, std::int64_t nowMs);

    // Whether datagram may be sent to destination now: false for a copy (the run's datagram
    // again to an address that had it) and for one over a silent address's budget; the
    // datagram must then be neither sent nor logged. A destination not in the dotted form (a
    // host name the registry file holds) is always let through. The text's key is worked out
    // only when the rules on sending are on.
    bool AdmitSend(AddressKey destination, std::string_view datagram);
    bool AdmitSend(std::string_view destination, std::string_view datagram);

    // Starts a round at nowMs and returns the operator's line about what was held back since
    // the last call, or nothing when nothing was: how many of what, against which limit, and
    // the busiest addresses, e.g. "Flood guard: in the last minute 1190 requests dropped (over
    // 50/s); busiest: 10.0.0.5 (1190 requests)". Starts a new period and forgets what carries
    // no information.
    std::optional<std::string> TakeSummary(std::int64_t nowMs);

    // Addresses remembered now; never more than maxAddresses.
    std::size_t TrackedAddresses() const { return index_.Size(); }
    // Requests dropped since the guard was made (registrations included).
    std::uint64_t DroppedTotal() const { return droppedTotal_; }
    // Datagrams held back since the guard was made (copies included).
    std::uint64_t WithheldTotal() const { return withheldTotal_; }
    // What was held back since the guard was made, by kind (.requests, .registrations,
    // .silent, .copies), for the operator's figures.
    auto HeldSinceStart() const
    {
        auto held = heldBeforePeriod_;
        held += heldInPeriod_;
        return held;
    }

private:
    static constexpr std::uint32_t kNone = AddressIndex::kNone;

    // What was held back in the current period, for one address (32-bit counts: a minute
    // holds far fewer than 2^32 datagrams) or for all.
    template <typename Count>
    struct Held {
        Count requests = 0;      // over the request rate
        Count registrations = 0; // over the registration allowance
        Count silent = 0;        // datagrams over a silent address's budget
        Count copies = 0;        // copies within a run
        Count share = 0;         // requests over the source's share of the lobby's output
        Count waited = 0;        // new nicks that waited for the lobby's allowance and were not served
        std::array<std::uint64_t, 6> Counts() const { return {requests, registrations, silent, copies, share, waited}; }
        std::uint64_t Total() const
        {
            return std::uint64_t{requests} + registrations + silent + copies + share + waited;
        }
        Held& operator+=(const Held& other)
        {
            requests += other.requests, registrations += other.registrations, silent += other.silent,
                copies += other.copies, share += other.share, waited += other.waited;
            return *this;
        }
    };
    static constexpr std::int64_t kNever = INT64_MIN;

    struct Entry {
        AddressKey key = 0;
        std::int64_t requestLevel = 0;      // in 1/1000 of a request
        std::int64_t requestRefilledMs = 0; // when requestLevel was last brought up to date
        std::int64_t registrationLevel = 0; // in 1/3,600,000 of a registration
        std::int64_t registrationRefilledMs = 0;
        std::int64_t sendLevel = 0; // in 1/1000 of a byte
        std::int64_t sendRefilledMs = 0;
        std::int64_t heardMs = 0;      // last request admitted from it, or when it was first seen
        std::int64_t sentMs = kNever;  // last datagram admitted to it
        std::uint64_t run = 0;         // the last run a datagram to it belonged to
        double output = 0;             // datagrams its requests caused, decayed (see Decayed)
        std::int64_t outputMs = 0;     // when output was last brought up to date
        std::uint32_t outputIndex = kNone; // its place in outputSlots_, kNone while output is 0
        Held<std::uint32_t> held;
        std::uint32_t newer = kNone; // the list of entries by last use, most recent first
        std::uint32_t older = kNone;
    };

    // Whether a request from entry's source at nowMs goes over its share of the lobby's output.
    bool OverOutputShare(Entry& entry, std::int64_t nowMs);
    void DecayOutput(Entry& entry, std::int64_t nowMs) const;
    double OutputLevel(std::int64_t nowMs);
    void UntrackOutput(std::uint32_t slot);
    Entry& Touch(AddressKey key, std::int64_t nowMs);
    void Refill(Entry& entry, std::int64_t nowMs) const;
    bool Idle(const Entry& entry, std::int64_t nowMs) const;
    void Unlink(std::uint32_t slot);
    void LinkNewest(std::uint32_t slot);
    void Forget(std::uint32_t slot);
    std::string SummaryText() const;

    std::int64_t RequestCapacity() const;
    std::int64_t RegistrationCapacity() const;
    std::int64_t SendCapacity() const;
    std::int64_t SendPerMs() const;

    FloodLimits limits_;
    std::vector<Entry> entries_;
    std::vector<std::uint32_t> freeSlots_;
    AddressIndex index_;
    std::uint32_t newest_ = kNone;
    std::uint32_t oldest_ = kNone;

    std::int64_t roundMs_ = 0;
    std::uint64_t run_ = 0;           // numbers the runs of identical datagrams sent
    bool runOpen_ = false;            // false at a round's start: the next datagram opens a run
    std::string runDatagram_;         // the datagram of the current run

    // The lobby's output: the decayed sum over all sources, the sources with some, and the
    // fair level, worked out at most every kLevelMs while the sum is over the limit.
    double lobbyOutput_ = 0;
    std::int64_t lobbyOutputMs_ = 0;
    std::vector<std::uint32_t> outputSlots_;
    double outputLevel_ = 0;
    std::int64_t outputLevelMs_ = kNever;
    std::vector<double> levelScratch_;

    // The lobby's allowance of new nicks, in 1/1000 of a nick.
    std::int64_t lobbyRegistrationLevel_ = 0;
    std::int64_t lobbyRegistrationRefilledMs_ = kNever;

    Held<std::uint64_t> heldInPeriod_;
    Held<std::uint64_t> heldBeforePeriod_; // every period's before the current one
    std::uint64_t busyForgottenInPeriod_ = 0; // entries with state pushed out by the bound
    std::uint64_t droppedTotal_ = 0;
    std::uint64_t withheldTotal_ = 0;
};

// The text of a key: the dotted form for IPv4 keys, "(other source)" for hashed ones.
std::string SourceText(AddressKey key);

} // namespace lobby
