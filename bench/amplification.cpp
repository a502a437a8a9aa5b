// Prints what the flood guard lets one address do, and what it costs honest players, under
// the default limits, in simulated time against lobbies whose players have 200-byte nicks
// (so every player list and ranking fills its datagram). Figures only; nothing here passes
// or fails. Six tables (arguments pick some: "bench_amplification 2 3"):
//
// 1. Reflection by requests: one source sends each kind of request every 2 ms for 10 s to
//    lobbies of 1, 100 and 1000 online; for the requests the guard let through, the bytes
//    sent back to the source itself (what a forged source buys its victim) and in all.
// 2. An honest player: 45 requests, one every 0.2 s, in several mixes, in lobbies of 1,000
//    and 10,000 online: how many the guard dropped.
// 3. Reflection by forged nicks: 20 nicks registered with a victim's address forged as their
//    source, in a lobby of 100 online; what the victim is sent (a) for requests forged from it
//    and (b) while five players make five requests a second each, with the nicks left alone,
//    kept online from the forger's own address, and that with one more forged request every
//    four minutes.
// 4. A junk flood from one address: how much of it is logged; and how many new nicks one
//    address registers in an hour.
// 5. What the guard's rules on sending cost per datagram of a broadcast to 1,000 addresses
//    (wall time, so noisy).
// 6. The floods of scripts/bench-floods at 1,000 online, for 10 s, before (every list at once,
//    no lobby-wide limits) and now: what they ask the lobby to send a second, how much the
//    registry grows (by 15 s after the flood, when no new nick waits any more), and what
//    becomes of an honest player's 45 requests (msg and pvt in turn).
//    The time they take the real server is what scripts/bench-floods measures.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "server/flood/flood_guard.h"
#include "server/lobby/form1.h"
#include "support/hand_driven_form.h"

using namespace lobby;

namespace {

// What was sent: datagrams and bytes in all and to one watched address.
struct SentCounts {
    std::string watched;
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::uint64_t watchedDatagrams = 0;
    std::uint64_t watchedBytes = 0;
};

constexpr const char* kSource = "10.9.9.9"; // the player "a" (password "b") registered there

std::string CrowdAddress(int i)
{
    return "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256);
}

// A lobby of `online` players online: "a" at kSource, the rest with 200-byte nicks, scored
// above "a", each on its own address and online by one request from it. Nothing is logged;
// time is stepped by hand, and Timer1 ticks every simulated minute.
class Lobby {
public:
    explicit Lobby(int online, const FloodLimits& limits = FloodLimits{}, bool answerPings = false,
                   std::int64_t listIntervalMs = FormEnvironment{}.snapshotIntervalMs)
        : lobby_([&](FormEnvironment& environment) {
              const std::filesystem::path folder = environment.appFolder;
              std::string registry = ",Nick,Senha,Ip,Pontos,,\r\n,a,b," + std::string(kSource) + ",0,+,\r\n";
              for (int i = 1; i < online; ++i) {
                  crowd_.push_back({CrowdAddress(i), std::string(196, 'n') + std::to_string(1000 + i) + "|pw|"});
                  registry += "," + std::string(196, 'n') + std::to_string(1000 + i) + ",pw," + CrowdAddress(i) +
                              "," + std::to_string(2000000 - i) + ",+,\r\n";
              }
              WriteBytes(folder / "cadastro.txt", registry);
              // A folder where the day's log would be: the log cannot open (the start shows
              // that once), so it drops its lines (gigabytes of them otherwise) and tries
              // again before each.
              std::filesystem::create_directory(folder / "07-12-2026.txt");
              environment.floodLimits = limits;
              environment.snapshotIntervalMs = listIntervalMs;
              environment.keepSavedText = false;
          }),
          answerPings_(answerPings)
    {
        const std::int64_t start = lobby_.monotonic.nowMs;
        Receive(kSource, "a|b|zzz|");
        for (const auto& [address, credentials] : crowd_)
            Receive(address, credentials + "zzz|");
        lobby_.monotonic.nowMs = start + 60000; // every bucket full again
        nextTickMs_ = start + 120000;
    }

    // Whether the guard let the datagram from `from` through.
    bool Receive(const std::string& from, const std::string& datagram)
    {
        const std::uint64_t droppedBefore = Form().Status().Counters().dropped;
        lobby_.Receive(from, datagram);
        Count();
        return Form().Status().Counters().dropped == droppedBefore;
    }

    // Steps the clock, with Timer1's ticks on the way and Timer2's work (merged lists, waiting
    // new nicks) at the end; after a ping the crowd answers.
    void Advance(std::int64_t ms)
    {
        lobby_.monotonic.nowMs += ms;
        Form().RunHandler([&] { Form().Pacing().Timer2Timer(); });
        Count();
        while (lobby_.monotonic.nowMs >= nextTickMs_) {
            lobby_.Tick();
            Count();
            nextTickMs_ += 60000;
            if (answerPings_ && Form().TickCount == 1) {
                for (const auto& [address, credentials] : crowd_)
                    Receive(address, credentials + "zzz|");
            }
        }
    }

    // Player i's request with command: 0 is "a", from 1 the crowd.
    void Play(int i, const std::string& command)
    {
        if (i == 0)
            Receive(kSource, "a|b|" + command);
        else
            Receive(crowd_[i - 1].first, crowd_[i - 1].second + command);
    }

    std::int64_t NowMs() const { return lobby_.monotonic.nowMs; }
    SentCounts& Sent() { return sent_; }
    TForm1& Form() { return *lobby_.form; }

private:
    // Adds what the endpoint recorded to the counts and forgets it.
    void Count()
    {
        for (const auto& datagram : lobby_.TakeSent()) {
            ++sent_.datagrams;
            sent_.bytes += datagram.bytes.size();
            if (datagram.host == sent_.watched) {
                ++sent_.watchedDatagrams;
                sent_.watchedBytes += datagram.bytes.size();
            }
        }
    }

    std::vector<std::pair<std::string, std::string>> crowd_; // address, "nick|password|"
    test_support::HandDrivenForm lobby_;
    SentCounts sent_;
    bool answerPings_;
    std::int64_t nextTickMs_ = 0;
};

// The honest player's mix: every command, an unknown one too (after "off" the next request
// logs the player in again).
const std::vector<std::string> kMix = {"fc+|", "msg|oi", "pvt|a|psiu", "fc-|", "scj|1", "xyz|", "off|", "slc|"};

void ReflectionByRequests()
{
    struct Kind {
        const char* what;
        std::string request;
    };
    const std::vector<Kind> kinds = {
        {"slc (join)", "a|b|slc|"},
        {"fc+ (flag)", "a|b|fc+|"},
        {"off (leave)", "a|b|off|"},
        {"msg, empty", "a|b|msg|"},
        {"msg, 2037 bytes", "a|b|msg|" + std::string(2037, 'x')},
        {"scj (score)", "a|b|scj|1"},
        {"wrong password", "a|x|"},
        {"not a request", "x"},
    };
    std::printf("1. Bytes the lobby sends per byte one source sends it, 10 s at 500 requests/s.\n");
    std::printf("'to source': sent to the source address itself; 'in all': to every address.\n\n");
    std::printf("%-16s %6s %8s %9s %10s %7s %10s %9s %12s\n", "request", "online", "admitted", "bytes in",
                "to source", "ratio", "in all", "ratio", "in all/s");
    double worstSource = 0;
    std::uint64_t worstSourcePerSecond = 0;
    std::uint64_t worstPerSecond = 0;
    for (const int online : {1, 100, 1000}) {
        for (const Kind& kind : kinds) {
            Lobby lobby(online);
            lobby.Sent().watched = kSource;
            std::size_t admitted = 0;
            std::uint64_t received = 0, toSource = 0, inAll = 0, inAllAfterFirstSecond = 0, toSourceAfterFirstSecond = 0;
            for (int t = 0; t < 5000; ++t, lobby.Advance(2)) {
                SentCounts& sent = lobby.Sent();
                const std::uint64_t bytesBefore = sent.bytes, sourceBefore = sent.watchedBytes;
                if (!lobby.Receive(kSource, kind.request))
                    continue;
                ++admitted;
                received += kind.request.size();
                inAll += sent.bytes - bytesBefore;
                toSource += sent.watchedBytes - sourceBefore;
                if (t >= 500) {
                    inAllAfterFirstSecond += sent.bytes - bytesBefore;
                    toSourceAfterFirstSecond += sent.watchedBytes - sourceBefore;
                }
            }
            const double ratioSource = received ? double(toSource) / double(received) : 0;
            const double ratioAll = received ? double(inAll) / double(received) : 0;
            worstSource = std::max(worstSource, ratioSource);
            worstSourcePerSecond = std::max(worstSourcePerSecond, toSourceAfterFirstSecond / 9);
            worstPerSecond = std::max(worstPerSecond, inAllAfterFirstSecond / 9);
            std::printf("%-16s %6d %8zu %9llu %10llu %7.1f %10llu %9.1f %12llu\n", kind.what, online, admitted,
                        static_cast<unsigned long long>(received), static_cast<unsigned long long>(toSource),
                        ratioSource, static_cast<unsigned long long>(inAll), ratioAll,
                        static_cast<unsigned long long>(inAllAfterFirstSecond / 9));
        }
        std::printf("\n");
    }
    std::printf("largest ratio to the source itself: %.1f; most sent to it a second, after the first: %llu bytes\n",
                worstSource, static_cast<unsigned long long>(worstSourcePerSecond));
    std::printf("most sent in all a second, after the first, because of one source: %llu bytes\n\n",
                static_cast<unsigned long long>(worstPerSecond));
}

void HonestPlayer()
{
    struct Mix {
        const char* what;
        std::function<std::string(int)> command;
    };
    const std::vector<Mix> mixes = {
        {"every kind", [](int n) { return kMix[n % kMix.size()]; }},
        {"fc+ only", [](int) { return std::string("fc+|"); }},
        {"slc only", [](int) { return std::string("slc|"); }},
        {"off only", [](int) { return std::string("off|"); }},
        {"msg, 2 KB", [](int) { return "msg|" + std::string(2037, 'x'); }},
    };
    std::printf("2. An honest player: 45 requests, one every 0.2 s (player \"a\" at %s).\n\n", kSource);
    std::printf("%6s %-12s %8s %8s %14s %16s\n", "online", "mix", "served", "dropped", "sent in all", "sent to player");
    for (const int online : {1000, 10000}) {
        for (const Mix& mix : mixes) {
            Lobby lobby(online);
            lobby.Sent().watched = kSource;
            int dropped = 0;
            for (int n = 0; n < 45; ++n, lobby.Advance(200))
                dropped += lobby.Receive(kSource, "a|b|" + mix.command(n)) ? 0 : 1;
            std::printf("%6d %-12s %8d %8d %14llu %16llu\n", online, mix.what, 45 - dropped, dropped,
                        static_cast<unsigned long long>(lobby.Sent().datagrams),
                        static_cast<unsigned long long>(lobby.Sent().watchedDatagrams));
        }
    }
    std::printf("\n");
}

void ReflectionByForgedNicks()
{
    constexpr const char* kVictim = "10.6.6.6";
    constexpr const char* kForger = "10.8.8.8";
    std::printf("3. 20 nicks registered with %s forged as their source (the registration allowance),\n"
                "in a lobby of 100 online.\n\n",
                kVictim);
    const auto plant = [&](Lobby& lobby) {
        lobby.Sent().watched = kVictim;
        std::uint64_t bytes = 0;
        for (int i = 0; i < 20; ++i) {
            const std::string request = "v" + std::to_string(i) + "|pw|zzz|";
            lobby.Receive(kVictim, request);
            bytes += request.size();
        }
        return bytes;
    };

    {
        Lobby lobby(100);
        plant(lobby);
        std::size_t admitted = 0;
        std::uint64_t received = 0, toVictim = 0, afterFirstSecond = 0;
        const std::string request = "v0|pw|slc|";
        for (int t = 0; t < 5000; ++t, lobby.Advance(2)) {
            const std::uint64_t before = lobby.Sent().watchedBytes;
            if (!lobby.Receive(kVictim, request))
                continue;
            ++admitted;
            received += request.size();
            toVictim += lobby.Sent().watchedBytes - before;
            if (t >= 500)
                afterFirstSecond += lobby.Sent().watchedBytes - before;
        }
        std::printf("a. then \"%s\" forged from it every 2 ms for 10 s: %zu admitted, %.1f bytes to it per byte\n"
                    "   admitted, %llu bytes a second after the first\n\n",
                    request.c_str(), admitted, double(toVictim) / double(received),
                    static_cast<unsigned long long>(afterFirstSecond / 9));
    }

    constexpr std::int64_t kStepMs = 200;
    constexpr int kPlayers = 5; // "a" and four others, each making a request every 200 ms
    struct Scenario {
        const char* what;
        int minutes;
        bool keptFromOwnAddress; // every 4 minutes, the 20 nicks log in from the forger's address
        bool forgedKeepAlive;    // every 4 minutes, one more request forged from the victim
    };
    const std::vector<Scenario> scenarios = {
        {"left alone", 20, false, false},
        {"kept online from the forger's own address", 30, true, false},
        {"the same and one forged request every 4 min", 30, true, true},
    };
    std::printf("b. then five players make five requests a second each (every kind in turn); bytes to the\n"
                "   victim in all, per byte the forger sent (forged or not), and a second.\n\n");
    std::printf("   %-44s %9s %11s %8s %12s %11s %9s %9s\n", "scenario", "forger B", "victim B", "ratio", "B/s 0-10min",
                "B/s 10min-", "peak B/s", "last min");
    for (const Scenario& scenario : scenarios) {
        Lobby lobby(100, FloodLimits{}, true);
        const std::int64_t start = lobby.NowMs();
        std::uint64_t forgerBytes = plant(lobby);
        std::uint64_t firstTen = 0, after = 0, windowStart = lobby.Sent().watchedBytes, peakWindow = 0;
        std::int64_t lastMinute = -1;
        for (std::int64_t step = 1; step <= scenario.minutes * 60000 / kStepMs; ++step) {
            const std::uint64_t before = lobby.Sent().watchedBytes;
            for (int player = 0; player < kPlayers; ++player)
                lobby.Play(player, kMix[(step + player) % kMix.size()]);
            lobby.Advance(kStepMs);
            const std::int64_t elapsed = lobby.NowMs() - start;
            if (elapsed % 240000 == 0) {
                for (int i = 0; i < 20 && scenario.keptFromOwnAddress; ++i) {
                    const std::string login = "v" + std::to_string(i) + "|pw|zzz|";
                    lobby.Receive(kForger, login);
                    forgerBytes += login.size();
                }
                if (scenario.forgedKeepAlive) {
                    lobby.Receive(kVictim, "v0|pw|zzz|");
                    forgerBytes += 10;
                }
            }
            const std::uint64_t got = lobby.Sent().watchedBytes - before;
            (elapsed <= 600000 ? firstTen : after) += got;
            if (got > 0)
                lastMinute = (elapsed - 1) / 60000;
            if (elapsed % 10000 == 0) {
                peakWindow = std::max(peakWindow, (lobby.Sent().watchedBytes - windowStart) / 10);
                windowStart = lobby.Sent().watchedBytes;
            }
        }
        const std::uint64_t total = lobby.Sent().watchedBytes;
        std::printf("   %-44s %9llu %11llu %8.0f %12llu %11llu %9llu %9lld\n", scenario.what,
                    static_cast<unsigned long long>(forgerBytes), static_cast<unsigned long long>(total),
                    double(total) / double(forgerBytes), static_cast<unsigned long long>(firstTen / 600),
                    static_cast<unsigned long long>(after / ((scenario.minutes - 10) * 60)),
                    static_cast<unsigned long long>(peakWindow), static_cast<long long>(lastMinute));
    }
    std::printf("\n");
}

void JunkFlood()
{
    std::printf("4. A junk flood (\"x\") from one address for 60 s: the part that is logged; and new nicks.\n\n");
    for (const int perSecond : {1000, 2000, 10000}) {
        Lobby lobby(1);
        const int count = perSecond * 60;
        int logged = 0;
        for (int i = 0; i < count; ++i) {
            logged += lobby.Receive("10.7.7.7", "x") ? 1 : 0;
            if ((i + 1) % (perSecond / 1000) == 0)
                lobby.Advance(1);
        }
        std::printf("%6d a second: %d of %d logged, 1 in %.1f\n", perSecond, logged, count, double(count) / logged);
    }
    Lobby lobby(1);
    int registered = 0;
    for (int i = 0; i < 3600; ++i, lobby.Advance(1000))
        registered += lobby.Receive("10.7.7.7", "n" + std::to_string(i) + "|pw|zzz|") ? 1 : 0;
    std::printf("a new nick a second for an hour: %d registered, the registry grew to %d players\n\n", registered,
                lobby.Form().Cad.RowCount() - 1);
}

void CostPerDatagram()
{
    std::printf("5. What the rules on sending cost: FloodGuard::AdmitSend alone for a broadcast to 1000\n"
                "addresses (a round per broadcast), wall time per datagram, best of 5 runs of 200.\n\n");
    std::vector<std::string> addresses;
    for (int i = 0; i < 1000; ++i)
        addresses.push_back(CrowdAddress(i));
    for (const std::size_t size : {20u, 2048u}) {
        FloodGuard guard(FloodLimits{});
        const std::string datagram(size, 'x');
        std::int64_t nowMs = 0;
        double best = 1e18;
        for (int run = 0; run < 5; ++run) {
            std::size_t admitted = 0;
            const auto started = std::chrono::steady_clock::now();
            for (int round = 0; round < 200; ++round) {
                guard.AdmitRequest(kSource, nowMs += 20);
                for (const std::string& address : addresses)
                    admitted += guard.AdmitSend(address, datagram) ? 1 : 0;
            }
            const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - started).count();
            best = std::min(best, ns / double(admitted));
        }
        std::printf("%4zu-byte datagrams: %5.1f ns each\n", size, best);
    }
}

void Floods()
{
    struct Flood {
        const char* what;
        // The datagrams the flood sends in millisecond ms of its ten seconds.
        std::function<void(Lobby&, int ms)> send;
    };
    const auto from = [](int group, int i) { return "10." + std::to_string(group) + "." + std::to_string(i / 256) + "." + std::to_string(i % 256); };
    const auto every = [&](int periodMs, int addresses, std::string command) {
        return [=](Lobby& lobby, int ms) {
            if (ms % periodMs != 0)
                return;
            for (int k = 0; k < addresses; ++k)
                lobby.Receive(from(2, k), "f" + std::to_string(k) + "|pw|" + command);
        };
    };
    const auto forged = [&](int perSecond, std::string command) {
        return [=](Lobby& lobby, int ms) {
            for (int n = ms * perSecond / 1000; n < (ms + 1) * perSecond / 1000; ++n)
                lobby.Receive(from(3, n % 1000), "x" + std::to_string(n) + "|pw|" + command);
        };
    };
    const std::vector<Flood> floods = {
        {"none", [](Lobby&, int) {}},
        {"4 addresses, slc 50/s each", every(20, 4, "slc|")},
        {"8 addresses, slc 50/s each", every(20, 8, "slc|")},
        {"200 new nicks/s with slc, 1,000 addresses", forged(200, "slc|")},
        {"2,000 new nicks/s, 1,000 addresses", forged(2000, "zzz|")},
        {"4 players chatting, 50/s each", every(20, 4, "msg|flood")},
    };
    std::printf("6. Floods for 10 s at 1,000 online, with an honest player (\"a\") sending msg and pvt in\n"
                "turn every 0.2 s. Before: every list at once and no lobby-wide limits; now: the defaults.\n\n");
    std::printf("%-42s %-6s %14s %14s %9s %16s\n", "flood", "lobby", "sent a second", "of it to \"a\"", "grew by",
                "\"a\" admitted");
    for (const Flood& flood : floods) {
        for (const bool now : {false, true}) {
            FloodLimits limits;
            if (!now)
                limits.lobbyDatagramsPerSecond = limits.lobbyRegistrationsPerSecond = 0;
            Lobby lobby(1000, limits, false, now ? FormEnvironment{}.snapshotIntervalMs : 0);
            lobby.Sent().watched = kSource;
            const int registered = lobby.Form().Cad.RowCount();
            int admitted = 0;
            for (int ms = 0; ms < 10000; ++ms, lobby.Advance(1)) {
                flood.send(lobby, ms);
                if (ms % 200 == 0 && ms < 9000)
                    admitted += lobby.Receive(kSource, ms % 400 == 0 ? "a|b|msg|oi" : "a|b|pvt|a|psiu") ? 1 : 0;
            }
            const SentCounts sent = lobby.Sent();
            for (std::int64_t ms = 0; ms < RegistrationWait::kWaitMs; ms += 100)
                lobby.Advance(100); // the new nicks still waiting are served (or given up)
            std::printf("%-42s %-6s %14llu %14llu %9d %13d/45\n", flood.what, now ? "now" : "before",
                        static_cast<unsigned long long>(sent.datagrams / 10),
                        static_cast<unsigned long long>(sent.watchedDatagrams / 10),
                        lobby.Form().Cad.RowCount() - registered, admitted);
        }
    }
    std::printf("\n");
}

} // namespace

// With arguments, only the tables they number ("bench_amplification 2 3").
int main(int argc, char** argv)
{
    const std::vector<void (*)()> tables = {ReflectionByRequests, HonestPlayer, ReflectionByForgedNicks, JunkFlood,
                                            CostPerDatagram, Floods};
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const std::string number = std::to_string(i + 1);
        if (argc == 1 || std::any_of(argv + 1, argv + argc, [&](const char* arg) { return arg == number; }))
            tables[i]();
    }
    return 0;
}
