#include "server/lobby/form1.h"

#include <set>

#include "platform/exception.h"
#include "server/lobby/messages.h"

namespace lobby {

namespace {

// The first command-line argument as the program sees it: an empty argument (written as two
// adjacent double quotes) is skipped, as the command line has always been read.
std::string FirstArgument(const std::vector<std::string>& arguments)
{
    for (const std::string& argument : arguments) {
        if (!argument.empty())
            return argument;
    }
    return {};
}

} // namespace

TForm1::TForm1(FormEnvironment environment)
    : LogFile(*environment.clock, *environment.regional, DataFolderOf(environment),
              [this](const std::string& message) { errors_.ShowFailure(message); }),
      environment_(std::move(environment)),
      clock_(environment_.monotonic),
      errors_(*environment_.notifier, environment_.exeName),
      door_(Cad, errors_, status_, clock_, environment_.floodLimits, environment_.capacity,
            environment_.appFolder + BanList::kFileName),
      sender_(UDP1, door_.Guard(), LogFile, status_.Counters(), [this](const std::string& message) { errors_.ShowError(message); }),
      saves_(Cad, Memo1, sender_, *environment_.dataFolder, kRegistryFileName, environment_.keepSavedText,
             MakeSaver(environment_), MakeJournalWriter(environment_),
             SaveScheduler::Hooks{[this](const std::function<void()>& handler) { RunHandler(handler); },
                                  [this](const std::string& message) { errors_.ShowFailure(message); },
                                  [this](const std::string& message) { errors_.ShowNotice(message); },
                                  [this] { return clock_.Read(); }, environment_.clock, environment_.loop,
                                  environment_.journalFromRows}),
      loader_(*environment_.dataFolder, kRegistryFileName, errors_, *environment_.clock),
      requests_(*this, {sender_, door_, changes_, saves_, pacing_, status_}, environment_.maskPasswords),
      pacing_(*this, {sender_, saves_, door_, requests_, clock_}, environment_.loop, environment_.snapshotIntervalMs),
      logDays_(environment_.loop, environment_.appFolder, {kRegistryFileName, BanList::kFileName},
               environment_.logKeeping, LogFile, errors_, *environment_.clock, *environment_.regional),
      console_(*this, {sender_, door_, changes_, saves_, requests_, pacing_, status_, clock_})
{
    AppFolder = environment_.appFolder;
    if (environment_.makeEndpoint)
        UDP1 = environment_.makeEndpoint(*this);
    if (environment_.loop) {
        Timer1 = environment_.loop->StartTimer(kTimerIntervalMs,
                                               [this] { RunHandler([this] { Timer1Timer(); }); });
    }
}

void TForm1::FormCreate()
{
    AppFolder = environment_.appFolder;
    LogFile.Open();
}

void TForm1::FormActivate()
{
    if (FirstArgument(environment_.arguments) != kAccessWord)
        terminateRequested_ = true; // the rest still runs: the registry is loaded all the same
    else
        logDays_.RequestPass(); // the days closed while the server was down
    LoadRegistry();
}

void TForm1::FormDestroy()
{
    logDays_.Stop(); // a day half compressed is left as it was, plain file and all
    // A save in flight ends first, and the messages that waited for saves go out while the
    // log is still open for their lines. Such a save failing is told; the final save below
    // tries again all the same.
    RunHandler([this] { saves_.Finish(); });
    sender_.FlushReporting();
    // The registry is saved even when closing the log fails: losing players to a log error
    // would be far worse than reporting it a moment later.
    std::exception_ptr closeError;
    try {
        LogFile.Close();
    } catch (...) {
        closeError = std::current_exception();
    }
    if (saves_.Loaded()) {
        try {
            SaveRegistry();
        } catch (...) {
            // The save's error ends the handler; the log's is shown first, not lost.
            if (closeError)
                RunHandler([&] { std::rethrow_exception(closeError); });
            throw;
        }
    }
    if (closeError)
        std::rethrow_exception(closeError);
}

// Every five ticks of a minute: the first pings every online player and marks it "*"; the
// fifth takes offline every player still "*" (no request since its ping), sending a fresh
// player list after each one. An error ends the tick where it occurs; the counter has moved
// on already, so the next tick goes on as usual. The minute's reports to the operator (the
// flood guard's summary, the errors held back) come first, so a failing ping cannot hold
// them back.
void TForm1::Timer1Timer()
{
    MessageSender::Scope scope(sender_, true);
    clock_.Start();
    door_.ReportFloods();
    errors_.ReportHeldErrors();
    ++TickCount;
    if (TickCount == 1) {
        MessageSender::Message ping(messages::kPing);
        Cad.ForEachOnline([&](Registry::RowId id) {
            Cad.SetCell(Registry::kMarker, Cad.RowOfId(id), "*");
            sender_.Deliver(Cad.CellOf(id, Registry::kAddress), ping);
        });
    }
    if (TickCount == 5) {
        TickCount = 0;
        Cad.ForEachOnline([&](Registry::RowId id) {
            if (Cad.CellOf(id, Registry::kMarker) != "*")
                return;
            Cad.SetCell(Registry::kMarker, Cad.RowOfId(id), "");
            pacing_.PublishPlayerList();
        });
    }
}

void TForm1::LoadRegistry() { loader_.Load(Cad, Memo1, saves_); }

void TForm1::SaveRegistry() { saves_.SaveNow(); }

void TForm1::SortByScore() { Cad.SortByScore(); }

} // namespace lobby
