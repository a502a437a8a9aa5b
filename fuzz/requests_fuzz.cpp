// The request handler fed raw datagrams, against a live registry, through a recording
// endpoint. An input is a run of records separated by the byte 1E; each record is one
// control byte and the datagram that arrives:
//   bits 0-2  the source, 10.0.0.0 to 10.0.0.7
//   bit 3     a Timer1 tick comes first (pings, drops, the flood summary)
//   bits 4-5  time passes first: nothing, 20 ms, a second, an hour (flood limits)
//   bit 6     a new day starts first (the log rotates)
//   bit 7     sends to 10.0.0.7 fail while this datagram is handled
// A datagram over 2048 bytes arrives as a failed receive, as the endpoint reports it.
// After every record: every message sent fits a datagram, and the registry saves and reads
// back to the same cells; after the input: the log and the registry file end in a line end,
// and the file saved at shutdown is the table.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/invariants.h"
#include "net/udp_sock_error.h"
#include "server/form1.h"
#include "server/messages.h"
#include "support/recording_endpoint.h"

namespace {

class FixedClock : public Clock {
public:
    LocalDateTime Now() const override { return now; }
    LocalDateTime now{2026, 12, 7, 10, 20, 30, 1};
};

class SteppedMonotonic : public MonotonicClock {
public:
    std::int64_t NowMs() const override { return nowMs; }
    std::int64_t nowMs = 0;
};

// Errors a request may end with; any other means a fault in the handler.
class ExpectedErrors : public OperatorNotifier {
public:
    void ShowError(const std::string&, const std::string& text) override
    {
        for (const char* expected : {"is not a valid integer value", "Unknown Error No. 101", "The registry is full"}) {
            if (text.find(expected) != std::string::npos)
                return;
        }
        fuzz::Broken("a request ended with an unexpected error", text);
    }
    void ShowNotice(const std::string&, const std::string&) override {}
};

// A registry with an online player, an offline one, one whose score is no integer (so the
// sort fails part way) and one at the top of the score range.
constexpr std::string_view kRegistry = ",Nick,Senha,Ip,Pontos,,\r\n"
                                       ",Zed,zz,10.0.0.3,7,+,\r\n"
                                       ">,ana,pw,10.0.0.1,2147483647,-,\r\n"
                                       ",bad,b,10.0.0.2,12abc,-,\r\n"
                                       ",Bob,Pw,10.0.0.7,-5,+,\r\n";

void CheckSent(const std::vector<test_support::SentDatagram>& sent)
{
    for (const auto& datagram : sent) {
        fuzz::Check(!datagram.bytes.empty() && datagram.bytes.size() <= messages::kMaxDatagram,
                    "every message sent fits one datagram", datagram.bytes.substr(0, 100));
        fuzz::Check(!datagram.host.empty(), "every message has an address");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::ClearScratchFolder();
    const std::string folder = fuzz::ScratchFolder();
    fuzz::WriteFile(folder + "cadastro.txt", kRegistry);

    FixedClock clock;
    SteppedMonotonic monotonic;
    RegionalSettings regional{"%d/%m/%Y", "%H:%M:%S", "%I:%M:%S %p", "AM", "PM"};
    ExpectedErrors notifier;
    test_support::RecordingEndpoint* endpoint = nullptr;
    FormEnvironment environment;
    environment.clock = &clock;
    environment.regional = &regional;
    environment.notifier = &notifier;
    environment.monotonic = &monotonic;
    environment.capacity = 12;
    environment.makeEndpoint = [&](TForm1&) {
        auto recording = std::make_unique<test_support::RecordingEndpoint>();
        endpoint = recording.get();
        return std::unique_ptr<DatagramEndpoint>(std::move(recording));
    };
    environment.exeName = "lobby-server";
    environment.appFolder = folder;
    environment.arguments = {"m5qt4"};
    TForm1 form(std::move(environment));
    form.FormCreate();
    form.FormActivate();

    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t pos = 0;
    while (pos < input.size()) {
        std::size_t end = input.find('\x1e', pos);
        if (end == std::string_view::npos)
            end = input.size();
        const std::string_view record = input.substr(pos, end - pos);
        pos = end + 1;
        if (record.empty())
            continue;
        const auto control = static_cast<unsigned char>(record[0]);
        const std::string source = "10.0.0." + std::to_string(control & 7);
        if (control & 0x08)
            form.RunHandler([&] { form.Timer1Timer(); });
        static constexpr std::int64_t kSteps[] = {0, 20, 1000, 3600000};
        monotonic.nowMs += kSteps[(control >> 4) & 3];
        if (control & 0x40)
            clock.now.day = clock.now.day % 28 + 1;
        endpoint->failBeforeSend = nullptr;
        if (control & 0x80) {
            endpoint->failBeforeSend = [](const std::string& host, const std::string&) {
                if (host == "10.0.0.7")
                    throw UDPSockError("Unknown Error No. 101");
            };
        }

        endpoint->current.assign(record.substr(1));
        const auto bytes = endpoint->current.size() > messages::kMaxDatagram
                               ? std::int32_t{-1}
                               : static_cast<std::int32_t>(endpoint->current.size());
        form.RunHandler([&] { form.UDP1DataReceived(*endpoint, bytes, source, 5555); });

        CheckSent(endpoint->sent);
        endpoint->sent.clear();
        fuzz::CheckRegistryRoundTrip(form.Cad);
    }
    // Each line is written whole (or taken back), so the files end with a line end.
    fuzz::CheckEndsWithLineEnd(fuzz::ReadFile(form.LogFile.FileName()), "the log ends without a line end");
    fuzz::CheckEndsWithLineEnd(fuzz::ReadFile(form.RegistryPath()), "the registry file ends without a line end");

    // Shutdown saves: the file then holds exactly the table's text.
    form.FormDestroy();
    fuzz::Check(fuzz::ReadFile(form.RegistryPath()) == form.Cad.SaveToText(), "the file saved at shutdown is the table");
    return 0;
}
