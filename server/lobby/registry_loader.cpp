#include "server/lobby/registry_loader.h"

#include <cstdio>
#include <optional>
#include <string>

#include "platform/exception.h"
#include "platform/file_system.h"
#include "server/lobby/score_mending.h"
#include "server/registry/registry_file.h"

namespace lobby {

namespace {

// The header line a new registry file starts with, and what a file without one gets above
// its first line.
constexpr std::string_view kHeaderLine = ",Nick,Senha,Ip,Pontos,";
constexpr std::string_view kFreshRegistry = ",Nick,Senha,Ip,Pontos,\r\n";

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

} // namespace

void RegistryLoader::Load(Registry& table, TMemo& memo, SaveScheduler& saves)
{
    memo.Clear();
    saves.SetLoaded(false);
    std::optional<FileText> text = ReadRegistryFile(files_, fileName_);
    const bool found = text.has_value();
    // Taken before the load, which lets go of the text as it goes.
    const FileIdentity identity = IdentityOf(found ? text->View() : std::string_view());
    LoadFindings findings;
    if (found)
        table.LoadFromText(text->View(), [&](std::size_t offset) { text->ReleaseBefore(offset); }, &findings,
                         kHeaderLine);
    else
        table.LoadFromText(kFreshRegistry);
    text.reset();
    memo.Clear();
    if (!findings.ReadWhole() || findings.headerMissing)
        KeepUnreadRegistry(findings);
    TellReplay(saves.OpenJournal(identity));
    saves.SetLoaded(true);
    TellBadScores(findings, table);
    TellDuplicateNicks(findings, table);
    // A missing file starts the lobby empty. Creating the file may fail (a folder that
    // became unwritable): that is reported, but the empty table still counts as loaded,
    // since no file holds more, so players registering now reach the disk at the first save
    // that works (rewriting the file, for want of a journal that extends it).
    if (found)
        return;
    WriteFileReplacing(files_, fileName_, kFreshRegistry);
    saves.StartJournal(IdentityOf(kFreshRegistry));
}

// The operator hears what the journal brought back, and of a record a crash cut short.
void RegistryLoader::TellReplay(const ReplayOutcome& outcome)
{
    const std::string journal = files_.PathOf(SaveScheduler::kJournalFileName);
    if (outcome.tornBytes != 0)
        errors_.ShowNotice("The registry journal " + journal + " ended in a change cut short (" +
                                                       std::to_string(outcome.tornBytes) +
                                                       " bytes, never confirmed to anyone); it is dropped");
    if (outcome.applied != 0)
        errors_.ShowNotice(std::to_string(outcome.applied) + " change(s) from the registry journal " +
                                                       journal + " applied to " + Path());
}

// The table keeps the reading the file has always had, and the first save writes the table:
// what the load could not read would be gone from the file for good, and a file without its
// header gains one. So the file is kept beside it as it was, under a name that says when and
// why, before anything can save; the server does not start when that copy cannot be made.
void RegistryLoader::KeepUnreadRegistry(const LoadFindings& findings)
{
    std::string why;
    std::string what;
    const auto add = [&](std::string_view reason, const std::string& told) {
        why += (why.empty() ? "" : "+") + std::string(reason);
        what += (what.empty() ? "" : "; ") + told;
    };
    if (findings.headerMissing)
        add("no-header", "line 1 is not the header, its second cell not being \"Nick\": it is read as a player, and "
                         "the first save writes the header above it");
    if (findings.nulLine != 0)
        add("nul-byte", "a NUL byte on line " + std::to_string(findings.nulLine) + " ends what is read");
    if (findings.longLines != 0)
        add("long-line", std::to_string(findings.longLines) + " line(s) over 4096 characters are cut, the first line " +
                             std::to_string(findings.firstLongLine));
    if (findings.extraLines != 0)
        add("extra-text", std::to_string(findings.extraLines) +
                              " line(s) hold text after their last comma or past the sixth cell, the first line " +
                              std::to_string(findings.firstExtraLine));
    const std::string base = fileName_ + "." + StampOf(clock_.Now()) + "." + why;
    // Two starts in one second would name their copies alike: the later one gets a number.
    for (int attempt = 1;; ++attempt) {
        const std::string name = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        try {
            files_.Copy(fileName_, name);
        } catch (const FileError& error) {
            if (error.Kind() == SystemReason::Kind::kAlreadyExists && attempt < 10)
                continue;
            throw RegistryUnreadable("the registry " + Path() + " is not read as it stands (" + what +
                                     "), and the file as it is cannot be kept beside it (" + error.Message() + ")");
        }
        const std::string change = findings.ReadWhole() ? "the first save will change it"
                                                        : "the first save will leave out what is not read";
        errors_.ShowError("The registry " + Path() + " is not read as it stands (" + what + "); " + change +
                  ", so the file as it was is kept as " + files_.PathOf(name));
        return;
    }
}

// A score that is no integer makes every sort fail once it reads the row: score reports
// are then saved but not ranked. The operator hears of each such row once, where to mend it.
void RegistryLoader::TellBadScores(const LoadFindings& findings, const Registry& table)
{
    const std::size_t told = std::min(findings.badScoreRows.size(), kBadRowsTold);
    for (std::size_t i = 0; i < told; ++i) {
        const int row = findings.badScoreRows[i];
        const std::string where = "The registry " + Path() + ", line " + std::to_string(findings.LineOfRow(row));
        bool blank = true;
        for (int col = 0; col < Registry::kColCount; ++col)
            blank = blank && table.Cell(col, row).empty();
        const std::string_view nick = table.Cell(Registry::kNick, row);
        errors_.ShowNotice(
            (blank ? where + ", is blank, so score reports are not ranked until the line is removed"
                            : where + ", player \"" + std::string(nick) + "\": the score \"" +
                                  std::string(table.Cell(Registry::kScore, row)) +
                                  "\" is no integer, so score reports are not ranked until the line is fixed") +
                         " (" + MendingHint(nick) + " while the lobby runs)");
    }
    if (findings.badScoreRows.size() > told) {
        errors_.ShowNotice(
            std::to_string(findings.badScoreRows.size() - told) + " more rows of the registry " +
                         Path() + " have a score that is no integer, the last on line " +
                         std::to_string(findings.LineOfRow(findings.badScoreRows.back())));
    }
}

// Rows of one nick in another letter case were all taken for one player; a login finds the
// first. The operator hears of each later one once, to remove or rename it.
void RegistryLoader::TellDuplicateNicks(const LoadFindings& findings, const Registry& table)
{
    const std::size_t told = std::min(findings.duplicateNicks.size(), kBadRowsTold);
    for (std::size_t i = 0; i < told; ++i) {
        const LoadFindings::DuplicateNick& duplicate = findings.duplicateNicks[i];
        const int row = static_cast<int>(duplicate.line) - static_cast<int>(findings.LineOfRow(0));
        errors_.ShowNotice(
            "The registry " + Path() + ", line " + std::to_string(duplicate.line) + ", player \"" +
                         std::string(table.Cell(Registry::kNick, row)) + "\": line " +
                         std::to_string(duplicate.firstLine) +
                         " has the same nick (letter case aside), and logins find that one; this row cannot log in");
    }
    if (findings.duplicateNicks.size() > told) {
        errors_.ShowNotice(
            std::to_string(findings.duplicateNicks.size() - told) + " more rows of the registry " +
                         Path() + " repeat a nick of a line above them, the last on line " +
                         std::to_string(findings.duplicateNicks.back().line));
    }
}

} // namespace lobby
