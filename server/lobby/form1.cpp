#include "server/lobby/form1.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <set>

#include "platform/exception.h"
#include "platform/file_system.h"
#include "server/registry/registry_file.h"

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

// What loses or risks data (a save, a log write that failed) is told as a failure, the
// highest priority where lines carry one.
void TellFailure(const FormEnvironment& environment, const std::string& message)
{
    environment.notifier->ShowFailure(ErrorBoxCaption(environment.exeName), ErrorBoxText(message));
}

} // namespace

TForm1::TForm1(FormEnvironment environment)
    : LogFile(*environment.clock, *environment.regional, DataFolderOf(environment),
              [this](const std::string& message) { TellFailure(environment_, message); }),
      Guard(environment.floodLimits),
      Pacer(environment.snapshotIntervalMs),
      environment_(std::move(environment)),
      sender_(UDP1, Guard, LogFile, counters_, [this](const std::string& message) { ShowError(message); }),
      saves_(Cad, Memo1, sender_, *environment_.dataFolder, kRegistryFileName, environment_.keepSavedText, MakeSaver(environment_),
             MakeJournalWriter(environment_),
             SaveScheduler::Hooks{[this](const std::function<void()>& handler) { RunHandler(handler); },
                                  [this](const std::string& message) { TellFailure(environment_, message); },
                                  [this](const std::string& message) {
                                      environment_.notifier->ShowNotice(ErrorBoxCaption(environment_.exeName), message);
                                  },
                                  [this] { return MonotonicNowMs(); }, environment_.clock, environment_.loop,
                                  environment_.journalFromRows})
{
    AppFolder = environment_.appFolder;
    if (environment_.makeEndpoint)
        UDP1 = environment_.makeEndpoint(*this);
    if (environment_.loop) {
        Timer1 = environment_.loop->StartTimer(kTimerIntervalMs,
                                               [this] { RunHandler([this] { Timer1Timer(); }); });
    }
    MakeLogKeeper();
}

// The log keeper's worker is stopped first, while everything it reports to is still there.
TForm1::~TForm1() { LogKeeping.reset(); }

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
        RequestLogPass(); // the days closed while the server was down
    LoadRegistry();
}

void TForm1::FormDestroy()
{
    LogKeeping.reset(); // a day half compressed is left as it was, plain file and all
    // A save in flight ends first, and the messages that waited for saves go out while the
    // log is still open for their lines. Such a save failing is told; the final save below
    // tries again all the same.
    RunHandler([this] { FinishSaves(); });
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

void TForm1::ShowHandlerFailure(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const RegistrySaveError& error) {
        // Players would be lost without a word: never held back with a client's errors.
        TellFailure(environment_, error.Message());
    } catch (const Exception& error) {
        ShowHandlerError(error.Message());
    } catch (const std::bad_alloc&) {
        ShowHandlerError("Out of memory");
    } catch (const std::exception& error) {
        ShowHandlerError(error.what());
    }
}

// A client can make requests fail (a score that is no number) as fast as the flood guard lets
// it send, and every source address has its own allowance: shown one by one, such errors
// would bury the operator (and, in the window, stack up boxes). So only the first few a
// minute are shown; the others are counted and told on the minute tick, or when the loop ends.
// A failed registry save is not among them (see RunHandler).
void TForm1::ShowHandlerError(const std::string& message)
{
    if (errorsShownThisMinute_ >= kErrorsShownPerMinute) {
        ++errorsHeld_;
        lastHeldError_ = message;
        return;
    }
    ++errorsShownThisMinute_;
    ShowError(message);
}

void TForm1::ReportHeldErrors()
{
    errorsShownThisMinute_ = 0;
    if (errorsHeld_ == 0)
        return;
    const std::string text = std::to_string(errorsHeld_) + " more error" + (errorsHeld_ == 1 ? "" : "s") +
                             " in the last minute not shown one by one; the last: " + lastHeldError_;
    errorsHeld_ = 0;
    lastHeldError_.clear();
    environment_.notifier->ShowNotice(ErrorBoxCaption(environment_.exeName), text);
}

void TForm1::ShowError(const std::string& message)
{
    environment_.notifier->ShowError(ErrorBoxCaption(environment_.exeName), ErrorBoxText(message));
}

std::int64_t TForm1::MonotonicNowMs() const
{
    static const SystemMonotonicClock systemClock;
    return (environment_.monotonic ? *environment_.monotonic : systemClock).NowMs();
}

void TForm1::ReportFloods()
{
    if (const auto summary = Guard.TakeSummary(handlerNowMs_))
        environment_.notifier->ShowNotice(ErrorBoxCaption(environment_.exeName), *summary);
}

void TForm1::RequestLogPass()
{
    if (LogKeeping)
        LogKeeping->RequestPass(environment_.clock->Now(), *environment_.regional, LogFile.LogDate());
}

bool TForm1::RegistryFull() const
{
    const std::int32_t capacity = environment_.capacity;
    return capacity > 0 && Cad.RowCount() - 1 >= capacity;
}

void TForm1::ReportRegistryFullOnce()
{
    if (capacityReported_)
        return;
    capacityReported_ = true;
    ShowError("The registry is full (" + std::to_string(environment_.capacity) +
              " players): new nicks are refused until the server is restarted with a larger --capacity");
}

} // namespace lobby
