#include <algorithm>
#include <string>

#include "platform/cp1252.h"
#include "platform/file_bytes.h"
#include "platform/file_system.h"
#include "server/lobby/form1.h"
#include "server/lobby/messages.h"
#include "server/registry/registry_file.h"

namespace lobby {

// What the operator's console does to the lobby. Every change goes the way a player's
// request would (the same leave, broadcasts, lists and saves), inside an output scope of its
// own, and is logged as a request from "console", so the traffic log tells who did it.

namespace {

// The size of the day's log file as the status line tells it; "none" when there is no file.
std::string LogSizeText(const std::string& path)
{
    const std::optional<FileStatus> status = StatusOf(path);
    if (!status)
        return "none";
    return ByteSizeText(status->size);
}

constexpr std::string_view kConsoleSource = "console";

// The nick as the operator reads it (UTF-8, odd bytes escaped), for refusals.
std::string Shown(std::string_view nick)
{
    return "\"" + ReadableText(nick) + "\"";
}

} // namespace

int TForm1::ConsolePlayerRow(std::string_view nick) const
{
    const int row = Cad.NickRow(nick);
    if (row == 0)
        throw ConsoleRefusal("no player is named " + Shown(nick));
    return row;
}

// The console's request starts a round of the flood guard, as a player's does.
void TForm1::LogConsole(std::string_view line)
{
    Guard.StartRound(MonotonicNowMs());
    LogFile.AppendReceived(kConsoleSource, line);
}

void TForm1::KickPlayer(std::string_view nick)
{
    OutputScope scope(sender_, true);
    LogConsole("kick|" + std::string(nick));
    const int row = ConsolePlayerRow(nick);
    if (!Cad.IsOnline(row))
        throw ConsoleRefusal(Shown(Cad.Cell(Registry::kNick, row)) + " is not online");
    // Copied: the leave's broadcasts may dispatch events that change the table.
    const std::string registered(Cad.Cell(Registry::kNick, row));
    Leave(row, registered);
}

void TForm1::SendNotice(std::string_view text)
{
    const std::string message = std::string(messages::kSystem) + std::string(text);
    if (message.size() > messages::kMaxDatagram)
        throw ConsoleRefusal("the notice is " + std::to_string(text.size()) + " bytes in the lobby's code page; one datagram holds " +
                             std::to_string(messages::kMaxDatagram - messages::kSystem.size()));
    OutputScope scope(sender_, true);
    LogConsole("notice|" + std::string(text));
    Broadcast(message);
}

// The change is numbered as a score report's is, so the saves' group commit covers it: the
// save in flight, or the one that follows it, puts it on disk, and done hears of it then.
void TForm1::SaveChange(SaveDone done)
{
    saves_.Changed();
    saves_.WhenOnDisk(std::move(done));
    RequestSave();
}

void TForm1::ChangePassword(std::string_view nick, std::string_view password, SaveDone done)
{
    OutputScope scope(sender_, true);
    // The new password stays out of the log; the players' own requests are theirs to log.
    LogConsole("password|" + std::string(nick));
    const int row = ConsolePlayerRow(nick);
    if (password.find_first_of(std::string_view("|,\r\n\0", 5)) != std::string_view::npos)
        throw ConsoleRefusal("a password holds no \"|\", \",\", line end or NUL byte: the registry could not keep it, or no "
                             "request could carry it");
    Cad.SetCell(Registry::kPassword, row, password);
    SaveChange(std::move(done));
}

void TForm1::RemovePlayer(std::string_view nick, SaveDone done)
{
    OutputScope scope(sender_, true);
    LogConsole("remove|" + std::string(nick));
    const int row = ConsolePlayerRow(nick);
    const bool wasOnline = Cad.IsOnline(row);
    const bool wasRanked = row < 10;
    Cad.RemovePlayer(row);
    SaveChange(std::move(done));
    if (wasOnline)
        SendPlayerList();
    if (wasRanked)
        SendRanking(); // waits for the save, as any ranking does
}

void TForm1::SaveNow(SaveDone done)
{
    OutputScope scope(sender_, true);
    LogConsole("save");
    SaveChange(std::move(done));
}

std::optional<std::vector<std::string>> TForm1::AddBan(const BanEntry& entry)
{
    OutputScope scope(sender_, true);
    LogConsole("ban|" + entry.Text());
    if (Bans.Contains(entry))
        return std::nullopt;
    BanList changed = Bans;
    changed.Add(entry);
    WriteFileReplacing(BansPath(), changed.FileText());
    Bans = std::move(changed);

    // Who it names goes offline at once, all of them before anyone is told, so nothing more
    // goes to a banned address; then the others get each leave notice, as an "off" sends it,
    // and the player list once. Their requests are dropped from now on.
    std::vector<std::string> named;
    Cad.ForEachOnline([&](Registry::RowId id) {
        const bool byNick = entry.kind == BanEntry::Kind::Nick && EqualIgnoringAsciiCase(Cad.CellOf(id, Registry::kNick), entry.value);
        const bool byAddress = entry.kind == BanEntry::Kind::Address && Cad.CellOf(id, Registry::kAddress) == entry.value;
        if (!byNick && !byAddress)
            return;
        named.emplace_back(Cad.CellOf(id, Registry::kNick));
        Cad.SetCell(Registry::kMarker, Cad.RowOfId(id), "");
    });
    for (const std::string& nick : named)
        Broadcast(std::string(messages::kLeavePrefix) + nick + std::string(messages::kLeaveSuffix));
    if (!named.empty())
        SendPlayerList();
    return named;
}

bool TForm1::RemoveBan(const BanEntry& entry)
{
    OutputScope scope(sender_, true);
    LogConsole("unban|" + entry.Text());
    BanList changed = Bans;
    if (!changed.Remove(entry))
        return false;
    WriteFileReplacing(BansPath(), changed.FileText());
    Bans = std::move(changed);
    return true;
}

void TForm1::LoadBans()
{
    const std::optional<std::string> text = ReadWholeFile(BansPath());
    if (!text)
        return;
    try {
        Bans.Load(*text);
    } catch (const Exception& error) {
        throw Exception(BansPath() + ": " + error.Message());
    }
}

bool TForm1::RefusedByBan(std::string_view address, const std::optional<RequestFields>& request)
{
    if (!Bans.Refuses(address, request))
        return false;
    ++counters_.banned;
    CountDropped();
    return true;
}

void TForm1::NoteRequest(int row)
{
    const Registry::RowId id = Cad.IdOfRow(row);
    if (lastRequestSecond_.size() <= id)
        lastRequestSecond_.resize(static_cast<std::size_t>(id) + 1, 0);
    lastRequestSecond_[id] = static_cast<std::uint32_t>(MonotonicNowMs() / 1000 + 1);
}

std::optional<std::int64_t> TForm1::SecondsSinceRequest(Registry::RowId id) const
{
    if (id >= lastRequestSecond_.size() || lastRequestSecond_[id] == 0)
        return std::nullopt;
    return std::max<std::int64_t>(0, MonotonicNowMs() / 1000 + 1 - lastRequestSecond_[id]);
}

std::string TForm1::StatusLine() const
{
    return "players online " + std::to_string(Cad.Online().size()) + ", registered " +
           std::to_string(std::max(Cad.RowCount() - 1, 0)) + ", datagrams in " +
           std::to_string(counters_.received) + ", out " + std::to_string(counters_.sent) + ", dropped " +
           std::to_string(counters_.dropped) + ", log today " + LogSizeText(LogFile.FileName());
}

} // namespace lobby
