#include "server/lobby/form1.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <set>

#include "platform/exception.h"
#include "platform/file_system.h"
#include "platform/system_data_folder.h"
#include "server/registry/registry_file.h"

namespace lobby {

namespace {

// The header line a new registry file starts with.
constexpr std::string_view kFreshRegistry = ",Nick,Senha,Ip,Pontos,\r\n";

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

// The environment's data folder, the system's folder appFolder when it names none.
DataFolder& DataFolderOf(FormEnvironment& environment)
{
    if (!environment.dataFolder)
        environment.dataFolder = std::make_shared<SystemDataFolder>(environment.appFolder);
    return *environment.dataFolder;
}

// A moment as a file name can hold it, and sorts by: "2026-12-06-120000".
std::string StampOf(const LocalDateTime& now)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d-%02d%02d%02d", now.year, now.month, now.day, now.hour,
                  now.minute, now.second);
    return stamp;
}

// At most this many rows whose score is no integer are told one by one at a load; the rest
// are counted, so a file of a million such rows does not bury the operator.
constexpr std::size_t kBadRowsTold = 100;

// The size of the day's log file as the status line tells it; "none" when there is no file.
std::string LogSizeText(const std::string& path)
{
    const std::optional<FileStatus> status = StatusOf(path);
    if (!status)
        return "none";
    return ByteSizeText(status->size);
}

} // namespace

TForm1::TForm1(FormEnvironment environment)
    : LogFile(*environment.clock, *environment.regional, DataFolderOf(environment),
              [this](const std::string& message) { ShowError(message); }),
      Guard(environment.floodLimits),
      Pacer(environment.snapshotIntervalMs),
      environment_(std::move(environment))
{
    AppFolder = environment_.appFolder;
    if (environment_.makeSaver)
        saver_ = environment_.makeSaver();
    else if (environment_.loop)
        saver_ = std::make_unique<BackgroundRegistrySaver>(*environment_.loop);
    else
        saver_ = std::make_unique<InlineRegistrySaver>();
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
    FlushOutputReporting();
    // The registry is saved even when closing the log fails: losing players to a log error
    // would be far worse than reporting it a moment later.
    std::exception_ptr closeError;
    try {
        LogFile.Close();
    } catch (...) {
        closeError = std::current_exception();
    }
    if (registryLoaded_) {
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
        ShowError(error.Message());
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

void TForm1::LoadRegistry()
{
    Memo1.Clear();
    registryLoaded_ = false;
    std::optional<FileText> text = ReadRegistryFile(Files(), kRegistryFileName);
    const bool found = text.has_value();
    LoadFindings findings;
    if (found)
        Cad.LoadFromText(text->View(), [&](std::size_t offset) { text->ReleaseBefore(offset); }, &findings);
    else
        Cad.LoadFromText(kFreshRegistry);
    text.reset();
    Memo1.Clear();
    if (!findings.ReadWhole())
        KeepUnreadRegistry(findings);
    registryLoaded_ = true;
    TellBadScores(findings);
    // A missing file starts the lobby empty. Creating the file may fail (a folder that
    // became unwritable): that is reported, but the empty table still counts as loaded,
    // since no file holds more, so players registering now reach the disk at the first save
    // that works.
    if (!found)
        WriteFileReplacing(Files(), kRegistryFileName, kFreshRegistry);
}

// The table keeps the reading the file has always had, and the first save writes the table:
// what the load could not read would be gone from the file for good. So the file is kept
// beside it as it was, under a name that says when and why, before anything can save; the
// server does not start when that copy cannot be made.
void TForm1::KeepUnreadRegistry(const LoadFindings& findings)
{
    std::string why;
    std::string what;
    const auto add = [&](std::string_view reason, const std::string& told) {
        why += (why.empty() ? "" : "+") + std::string(reason);
        what += (what.empty() ? "" : "; ") + told;
    };
    if (findings.nulLine != 0)
        add("nul-byte", "a NUL byte on line " + std::to_string(findings.nulLine) + " ends what is read");
    if (findings.longLines != 0)
        add("long-line", std::to_string(findings.longLines) + " line(s) over 4096 characters are cut, the first line " +
                             std::to_string(findings.firstLongLine));
    if (findings.extraLines != 0)
        add("extra-text", std::to_string(findings.extraLines) +
                              " line(s) hold text after their last comma or past the sixth cell, the first line " +
                              std::to_string(findings.firstExtraLine));
    const std::string base = std::string(kRegistryFileName) + "." + StampOf(environment_.clock->Now()) + "." + why;
    // Two starts in one second would name their copies alike: the later one gets a number.
    for (int attempt = 1;; ++attempt) {
        const std::string name = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        try {
            Files().Copy(kRegistryFileName, name);
        } catch (const FileError& error) {
            if (error.Kind() == SystemReason::Kind::kAlreadyExists && attempt < 10)
                continue;
            throw RegistryUnreadable("the registry " + RegistryPath() + " is not read whole (" + what +
                                     "), and the file as it is cannot be kept beside it (" + error.Message() + ")");
        }
        ShowError("The registry " + RegistryPath() + " is not read whole (" + what +
                  "); the first save will leave out what is not read, so the file as it was is kept as " +
                  Files().PathOf(name));
        return;
    }
}

// A score that is no integer makes every sort fail once it reads the row: score reports
// are then saved but not ranked. The operator hears of each such row once, where to mend it.
void TForm1::TellBadScores(const LoadFindings& findings)
{
    const std::string caption = ErrorBoxCaption(environment_.exeName);
    const std::size_t told = std::min(findings.badScoreRows.size(), kBadRowsTold);
    for (std::size_t i = 0; i < told; ++i) {
        const int row = findings.badScoreRows[i];
        const std::string where = "The registry " + RegistryPath() + ", line " + std::to_string(row + 1);
        bool blank = true;
        for (int col = 0; col < Registry::kColCount; ++col)
            blank = blank && Cad.Cell(col, row).empty();
        environment_.notifier->ShowNotice(
            caption, blank ? where + ", is blank, so score reports are not ranked until the line is removed"
                           : where + ", player \"" + std::string(Cad.Cell(Registry::kNick, row)) + "\": the score \"" +
                                 std::string(Cad.Cell(Registry::kScore, row)) +
                                 "\" is no integer, so score reports are not ranked until the line is fixed");
    }
    if (findings.badScoreRows.size() > told) {
        environment_.notifier->ShowNotice(
            caption, std::to_string(findings.badScoreRows.size() - told) + " more rows of the registry " +
                         RegistryPath() + " have a score that is no integer, the last on line " +
                         std::to_string(findings.badScoreRows.back() + 1));
    }
}

std::string TForm1::StatusLine() const
{
    return "players online " + std::to_string(Cad.Online().size()) + ", registered " +
           std::to_string(std::max(Cad.RowCount() - 1, 0)) + ", datagrams in " +
           std::to_string(counters_.received) + ", out " + std::to_string(counters_.sent) + ", dropped " +
           std::to_string(counters_.dropped) + ", log today " + LogSizeText(LogFile.FileName());
}

} // namespace lobby
