// The request handler fed raw datagrams, against a live registry, through a recording
// endpoint. An input is a run of records separated by the byte 1E; each record is one
// control byte and the datagram that arrives:
//   bits 0-2  the source, 10.0.0.0 to 10.0.0.7
//   bit 3     a Timer1 tick comes first (pings, drops, the flood summary)
//   bits 4-5  time passes first: nothing, 20 ms, a second, an hour (flood limits)
//   bit 6     a new day starts first (the log rotates)
//   bit 7     sends to 10.0.0.7 fail while this datagram is handled
// A datagram over 2048 bytes arrives as a failed receive, as the endpoint reports it.
// After every record: every message sent fits a datagram; after the input: the registry saves
// and reads back to the same cells, the log and the registry file end in a line end, every
// datagram logged is one line, and the file saved at shutdown is the table.
// One form serves every input: it is shut down after each and started again on fresh files
// before the next, and its files are held in memory, so an input costs microseconds, not
// the milliseconds that building a form and its folder took.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz/invariants.h"
#include "net/udp_sock_error.h"
#include "server/lobby/form1.h"
#include "server/lobby/messages.h"
#include "support/hand_driven_form.h"
#include "support/memory_data_folder.h"

using namespace lobby;

namespace {

// Fails unless every error shown is one a request may end with; any other means a fault in
// the handler. Forgets them.
void CheckErrors(test_support::RecordingNotifier& notifier)
{
    for (const auto& error : notifier.errors) {
        bool expected = false;
        for (const char* text : {"is not a valid integer value", "rankings are stopped", "a score report is not counted",
                                 "Unknown Error No. 101", "The registry is full"})
            expected = expected || error.text.find(text) != std::string::npos;
        if (!expected)
            fuzz::Broken("a request ended with an unexpected error", error.text);
    }
    notifier.errors.clear();
}

// A registry with an online player, an offline one, one whose score is no integer (so the
// sort fails part way) and one at the top of the score range.
constexpr std::string_view kRegistry = ",Nick,Senha,Ip,Pontos,,\r\n"
                                       ",Zed,zz,10.0.0.3,7,+,\r\n"
                                       ">,ana,pw,10.0.0.1,2147483647,-,\r\n"
                                       ",bad,b,10.0.0.2,12abc,-,\r\n"
                                       ",Bob,Pw,10.0.0.7,-5,+,\r\n";

// The lobby every input is run against, and the files it starts from.
struct Lobby {
    Lobby()
        : files(std::make_shared<test_support::MemoryDataFolder>()),
          hand(
              [this](FormEnvironment& environment) {
                  Reset();
                  environment.dataFolder = files;
                  environment.appFolder = files->Path();
                  environment.capacity = 12;
                  // Fewer addresses remembered than the inputs use: forgetting is fuzzed too.
                  environment.floodLimits.maxAddresses = 4;
              },
              fuzz::ScratchFolder())
    {
    }
    void Reset() { files->files = {{TForm1::kRegistryFileName, std::string(kRegistry)}}; }
    std::string File(const std::string& name) const
    {
        const auto found = files->files.find(name);
        return found == files->files.end() ? std::string() : found->second;
    }

    std::shared_ptr<test_support::MemoryDataFolder> files;
    test_support::HandDrivenForm hand;
    bool used = false;
};

// Every line ends in CR LF, and no CR or LF stands anywhere else.
void CheckLines(std::string_view text, std::string_view what)
{
    std::size_t breaks = 0;
    for (const char c : text)
        breaks += (c == '\r' || c == '\n') ? 1 : 0;
    std::size_t lines = 0;
    for (std::size_t at = text.find("\r\n"); at != std::string_view::npos; at = text.find("\r\n", at + 2))
        ++lines;
    fuzz::Check(breaks == 2 * lines, what, text.substr(0, 400));
    fuzz::CheckEndsWithLineEnd(text, what);
}

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
    static Lobby& kept = *new Lobby; // lives as long as the fuzzer, as libFuzzer expects
    test_support::HandDrivenForm& lobby = kept.hand;
    if (std::exchange(kept.used, true)) {
        kept.Reset();
        fuzz::Check(lobby.Restart(), "the form starts again");
    }
    TForm1& form = *lobby.form;
    test_support::RecordingEndpoint& endpoint = *lobby.endpoint;
    CheckErrors(lobby.notifier);

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
        static const std::string kSources[] = {"10.0.0.0", "10.0.0.1", "10.0.0.2", "10.0.0.3",
                                               "10.0.0.4", "10.0.0.5", "10.0.0.6", "10.0.0.7"};
        const std::string& source = kSources[control & 7];
        if (control & 0x08)
            lobby.Tick();
        static constexpr std::int64_t kSteps[] = {0, 20, 1000, 3600000};
        lobby.monotonic.nowMs += kSteps[(control >> 4) & 3];
        if (kSteps[(control >> 4) & 3] != 0) // the paced work that fell due: merged lists, waiting new nicks
            form.RunHandler([&] { form.Pacing().Timer2Timer(); });
        if (control & 0x40)
            lobby.clock.now.day = lobby.clock.now.day % 28 + 1;
        endpoint.failBeforeSend = nullptr;
        if (control & 0x80) {
            endpoint.failBeforeSend = [](const std::string& host, const std::string&) {
                if (host == "10.0.0.7")
                    throw UDPSockError("Unknown Error No. 101");
            };
        }

        // Longer than a datagram: a failed receive, as the endpoint reports it.
        const std::string datagram(record.substr(1));
        if (datagram.size() > messages::kMaxDatagram)
            lobby.ReceiveFailed(source);
        else
            lobby.Receive(source, datagram);

        CheckErrors(lobby.notifier);
        CheckSent(lobby.TakeSent());
    }
    // Once an input: a registry is built twice over for it, which cost more than the rest of
    // the input; a cell that cannot be saved stays so to the end, as rows are never dropped.
    fuzz::CheckRegistryRoundTrip(form.Cad);
    // Each line is written whole, one a datagram whatever it holds, so no CR or LF stands
    // inside a line of the log, and the files end with a line end.
    for (const auto& [name, bytes] : kept.files->files) {
        if (name != TForm1::kRegistryFileName)
            CheckLines(bytes, "one log line a datagram, each ending in CR LF");
    }
    fuzz::CheckEndsWithLineEnd(kept.File(TForm1::kRegistryFileName), "the registry file ends without a line end");

    // Shutdown saves: the file then holds exactly the table's text.
    form.FormDestroy();
    CheckErrors(lobby.notifier);
    fuzz::Check(kept.File(TForm1::kRegistryFileName) == form.Cad.SaveToText(), "the file saved at shutdown is the table");
    return 0;
}
