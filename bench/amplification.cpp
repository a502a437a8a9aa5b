// Prints how many bytes the lobby sends for the bytes one source address sends it, under the
// default flood limits (50 requests a second, bursts of 100; 20 new nicks an hour; 1024 KB a
// second sent on one address's behalf, 4 MB at once): for each kind of request, the bytes
// sent back to the source itself (what a spoofed source reflects onto its victim) and the
// bytes sent in all (its broadcasts to the players online), with 1, 100 and 1000 players
// online whose long nicks fill every player list and ranking. The source sends one request
// every 2 ms for 10 simulated seconds; the ratios count only the requests the flood guard
// let through (what a sender holding to the limits gets), the last column is what the lobby
// sent in all, a second, over the last 9 seconds. Figures only; nothing here passes or fails.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/monotonic_clock.h"
#include "platform/regional_settings.h"
#include "server/form1.h"
#include "tests/support/recording_endpoint.h"
#include "tests/support/temp_folder.h"

namespace {

class FixedClock : public Clock {
public:
    LocalDateTime Now() const override { return {2026, 12, 7, 10, 20, 30, 1}; }
};

class SteppedMonotonic : public MonotonicClock {
public:
    std::int64_t NowMs() const override { return nowMs; }
    std::int64_t nowMs = 0;
};

class QuietNotifier : public OperatorNotifier {
public:
    void ShowError(const std::string&, const std::string&) override {}
    void ShowNotice(const std::string&, const std::string&) override {}
};

constexpr const char* kSource = "10.9.9.9";

struct Result {
    std::size_t admitted = 0;
    std::uint64_t received = 0; // bytes of the admitted requests
    std::uint64_t toSource = 0;
    std::uint64_t inAll = 0;
    std::uint64_t inAllAfterFirstSecond = 0;
};

// A lobby with `online` players online (the source's own player "a" among them), every
// other nick 200 bytes long and scored above "a", then simulated seconds in which the
// source sends `request` every 2 ms for ten seconds; only what the guard admits is counted.
Result Measure(int online, const std::string& request)
{
    TempFolder folder;
    std::string registry = ",Nick,Senha,Ip,Pontos,,\r\n,a,b," + std::string(kSource) + ",0,+,\r\n";
    for (int i = 1; i < online; ++i) {
        registry += "," + std::string(196, 'n') + std::to_string(1000 + i) + ",pw,10.1." + std::to_string(i / 256) +
                    "." + std::to_string(i % 256) + "," + std::to_string(2000000 - i) + ",+,\r\n";
    }
    WriteBytes(folder / "cadastro.txt", registry);

    FixedClock clock;
    SteppedMonotonic monotonic;
    RegionalSettings regional{"%d/%m/%Y", "%H:%M:%S", "%I:%M:%S %p", "AM", "PM"};
    QuietNotifier notifier;
    test_support::RecordingEndpoint* endpoint = nullptr;
    FormEnvironment environment;
    environment.clock = &clock;
    environment.regional = &regional;
    environment.notifier = &notifier;
    environment.monotonic = &monotonic;
    environment.makeEndpoint = [&](TForm1&) {
        auto recording = std::make_unique<test_support::RecordingEndpoint>();
        endpoint = recording.get();
        return std::unique_ptr<DatagramEndpoint>(std::move(recording));
    };
    environment.exeName = "lobby-server";
    environment.appFolder = folder.Slash();
    environment.arguments = {"m5qt4"};
    TForm1 form(std::move(environment));
    form.FormCreate();
    form.FormActivate();

    const auto receive = [&](const std::string& from, const std::string& datagram) {
        endpoint->current = datagram;
        form.RunHandler([&] {
            form.UDP1DataReceived(*endpoint, static_cast<std::int32_t>(datagram.size()), from, 5555);
        });
    };
    // Everybody online: one request each from the player's own address.
    for (int row = 1; row < form.Cad.RowCount(); ++row) {
        receive(std::string(form.Cad.Cell(Registry::kAddress, row)),
                std::string(form.Cad.Cell(Registry::kNick, row)) + "|" +
                    std::string(form.Cad.Cell(Registry::kPassword, row)) + "|zzz|");
    }
    monotonic.nowMs += 60000; // the source's bucket full again

    Result result;
    for (int t = 0; t < 5000; ++t, monotonic.nowMs += 2) {
        const std::uint64_t droppedBefore = form.Counters().dropped;
        endpoint->sent.clear();
        receive(kSource, request);
        if (form.Counters().dropped != droppedBefore)
            continue;
        ++result.admitted;
        result.received += request.size();
        for (const auto& datagram : endpoint->sent) {
            result.inAll += datagram.bytes.size();
            if (t >= 500)
                result.inAllAfterFirstSecond += datagram.bytes.size();
            if (datagram.host == kSource)
                result.toSource += datagram.bytes.size();
        }
    }
    return result;
}

} // namespace

int main()
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
    std::printf("Bytes the lobby sends per byte one source sends it, default limits, 10 s at 500 requests/s.\n");
    std::printf("'to source': sent to the source address itself; 'in all': to every address.\n\n");
    std::printf("%-16s %6s %8s %9s %10s %7s %10s %9s %12s\n", "request", "online", "admitted", "bytes in",
                "to source", "ratio", "in all", "ratio", "in all/s");
    double worstSource = 0;
    double worstAll1000 = 0;
    std::uint64_t worstPerSecond = 0;
    for (const int online : {1, 100, 1000}) {
        for (const Kind& kind : kinds) {
            const Result r = Measure(online, kind.request);
            const double ratioSource = r.received ? double(r.toSource) / double(r.received) : 0;
            const double ratioAll = r.received ? double(r.inAll) / double(r.received) : 0;
            worstSource = std::max(worstSource, ratioSource);
            if (online == 1000)
                worstAll1000 = std::max(worstAll1000, ratioAll);
            std::printf("%-16s %6d %8zu %9llu %10llu %7.1f %10llu %9.1f %12llu\n", kind.what, online, r.admitted,
                        static_cast<unsigned long long>(r.received), static_cast<unsigned long long>(r.toSource),
                        ratioSource, static_cast<unsigned long long>(r.inAll), ratioAll,
                        static_cast<unsigned long long>(r.inAllAfterFirstSecond / 9));
            worstPerSecond = std::max(worstPerSecond, r.inAllAfterFirstSecond / 9);
        }
        std::printf("\n");
    }
    std::printf("largest ratio to the source itself: %.1f\n", worstSource);
    std::printf("largest ratio in all with 1000 online: %.1f (it grows with the players online)\n", worstAll1000);
    std::printf("most sent in all a second, after the first, because of one source: %llu bytes\n",
                static_cast<unsigned long long>(worstPerSecond));
    return 0;
}
