#include "support/hand_driven_form.h"

#include <cstdio>
#include <stdexcept>

using namespace lobby;

namespace test_support {

FormEnvironment RecordingEnvironment(const Clock& clock, const RegionalSettings& regional, OperatorNotifier& notifier,
                                     RecordingEndpoint*& endpoint, const std::string& appFolder)
{
    FormEnvironment environment;
    environment.clock = &clock;
    environment.regional = &regional;
    environment.notifier = &notifier;
    environment.makeEndpoint = [&endpoint](TForm1&) {
        auto recording = std::make_unique<RecordingEndpoint>();
        endpoint = recording.get();
        return std::unique_ptr<DatagramEndpoint>(std::move(recording));
    };
    environment.exeName = "lobby-server";
    environment.appFolder = appFolder;
    environment.arguments = {"m5qt4"};
    return environment;
}

HandDrivenForm::HandDrivenForm(const std::function<void(FormEnvironment&)>& adjust,
                               const std::filesystem::path& parentFolder)
    : folder(parentFolder)
{
    FormEnvironment environment = RecordingEnvironment(clock, regional, notifier, endpoint, folder.Slash());
    environment.exeName = "/opt/lobby/lobby-server";
    environment.monotonic = &monotonic;
    if (adjust)
        adjust(environment);
    form = std::make_unique<TForm1>(std::move(environment));
    form->RunHandler([&] { form->FormCreate(); });
    form->RunHandler([&] { form->FormActivate(); });
    if (!form->Saves().Loaded() || form->TerminateRequested())
        throw std::runtime_error("the form did not start");
}

HandDrivenForm::~HandDrivenForm() = default;

bool HandDrivenForm::Receive(const std::string& fromIp, const std::string& datagram)
{
    return form->RunHandler([&] {
        form->UDP1DataReceived(*endpoint, static_cast<std::int32_t>(datagram.size()), fromIp, 5555, datagram);
    });
}

namespace {

// The listed datagrams as one receive would hand them out.
class ListedBatch final : public ReceivedBatch {
public:
    explicit ListedBatch(const std::vector<std::pair<std::string, std::string>>& datagrams) : datagrams_(datagrams) {}

    bool Next(ReceivedDatagram& datagram) override
    {
        if (next_ == datagrams_.size())
            return false;
        const auto& [fromIp, bytes] = datagrams_[next_++];
        datagram = ReceivedDatagram{bytes, static_cast<std::int32_t>(bytes.size()), fromIp, 5555};
        return true;
    }

private:
    const std::vector<std::pair<std::string, std::string>>& datagrams_;
    std::size_t next_ = 0;
};

} // namespace

void HandDrivenForm::ReceiveTogether(const std::vector<std::pair<std::string, std::string>>& datagrams)
{
    ListedBatch batch(datagrams);
    form->UDP1BatchReceived(*endpoint, batch);
}

bool HandDrivenForm::ReceiveFailed(const std::string& fromIp)
{
    return form->RunHandler([&] { form->UDP1DataReceived(*endpoint, -1, fromIp, 5555, {}); });
}

bool HandDrivenForm::Tick()
{
    return form->RunHandler([&] { form->Timer1Timer(); });
}

bool HandDrivenForm::Restart()
{
    clock = SteppingClock();
    monotonic = SteppingMonotonicClock();
    form->Door().Guard() = FloodGuard(form->Door().Guard().Limits());
    form->TickCount = 0;
    form->Errors().ReportHeldErrors();
    notifier.errors.clear();
    notifier.notices.clear();
    endpoint->sent.clear();
    return form->RunHandler([&] { form->FormCreate(); }) && form->RunHandler([&] { form->FormActivate(); }) &&
           form->Saves().Loaded();
}

std::vector<SentDatagram> HandDrivenForm::TakeSent()
{
    std::vector<SentDatagram> sent;
    sent.swap(endpoint->sent);
    return sent;
}

std::vector<std::string> HandDrivenForm::SentTo(const std::string& host) const
{
    std::vector<std::string> bytes;
    for (const SentDatagram& datagram : endpoint->sent) {
        if (datagram.host == host)
            bytes.push_back(datagram.bytes);
    }
    return bytes;
}

void HandDrivenForm::LoadRegistryFile(const std::string& text)
{
    WriteBytes(folder / TForm1::kRegistryFileName, text);
    form->LoadRegistry();
}

std::string HandDrivenForm::RegistryFile() const
{
    return ReadBytes(folder / TForm1::kRegistryFileName);
}

std::string HandDrivenForm::LogText() const
{
    const LocalDateTime now = clock.Now();
    char name[32];
    std::snprintf(name, sizeof name, "%02d-%02d-%04d.txt", now.day, now.month, now.year);
    return ReadBytes(folder / name);
}

std::vector<std::string> HandDrivenForm::LogLines() const
{
    const std::string text = LogText();
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

int HandDrivenForm::RowOf(const std::string& nick) const
{
    for (int row = 1; row < form->Cad.RowCount(); ++row) {
        if (form->Cad.Cell(Registry::kNick, row) == nick)
            return row;
    }
    return 0;
}

std::vector<std::string> HandDrivenForm::Nicks() const
{
    std::vector<std::string> nicks;
    for (int row = 1; row < form->Cad.RowCount(); ++row)
        nicks.emplace_back(form->Cad.Cell(Registry::kNick, row));
    return nicks;
}

} // namespace test_support
