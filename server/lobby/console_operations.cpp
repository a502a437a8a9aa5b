#include <algorithm>
#include <string>

#include "net/dotted_quad.h"
#include "platform/cp1252.h"
#include "platform/file_system.h"
#include "server/lobby/console_operations.h"
#include "server/lobby/form1.h"
#include "server/lobby/messages.h"
#include "server/lobby/paced_work.h"
#include "server/lobby/request_handler.h"
#include "server/registry/integer_text.h"
#include "server/registry/registry_file.h"

namespace lobby {

// Every change the console makes goes the way a player's request would (the same leave,
// broadcasts, lists and saves), inside an output scope of its own, and is logged as a request
// from "console", so the traffic log tells who did it.

namespace {

constexpr std::string_view kConsoleSource = "console";

// The nick as the operator reads it (UTF-8, odd bytes escaped), for refusals.
std::string Shown(std::string_view nick)
{
    return "\"" + ReadableText(nick) + "\"";
}

} // namespace

int ConsoleOperations::PlayerRow(std::string_view nick) const
{
    const int row = form_.Cad.NickRow(nick);
    if (row == 0)
        throw ConsoleRefusal("no player is named " + Shown(nick));
    return row;
}

LobbyFigures ConsoleOperations::Figures() const
{
    LobbyFigures figures;
    figures.online = form_.Cad.Online().size();
    figures.registered = std::max(form_.Cad.RowCount() - 1, 0);
    figures.counters = rooms_.status.Counters();
    figures.held = rooms_.door.Guard().HeldSinceStart();
    figures.guardDropped = rooms_.door.Guard().DroppedTotal();
    figures.logPath = form_.LogFile.FileName();
    figures.bans = rooms_.door.Bans().Entries().size();
    return figures;
}

std::vector<PlayerOnline> ConsoleOperations::PlayersOnline() const
{
    const Registry& table = form_.Cad;
    std::vector<PlayerOnline> players;
    for (const Registry::RowId id : table.Online()) {
        players.push_back({std::string(table.CellOf(id, Registry::kNick)), std::string(table.CellOf(id, Registry::kAddress)),
                           std::string(table.CellOf(id, Registry::kFlag)), table.CellOf(id, Registry::kMarker) == "*",
                           rooms_.status.SecondsSinceRequest(id)});
    }
    return players;
}

std::vector<RankedPlayer> ConsoleOperations::Ranking(int count) const
{
    const Registry& table = form_.Cad;
    std::vector<RankedPlayer> rows;
    for (int row = 1; row <= count && row < table.RowCount(); ++row)
        rows.push_back({row, std::string(table.Cell(Registry::kNick, row)), std::string(table.Cell(Registry::kScore, row)),
                        table.IsOnline(row)});
    return rows;
}

std::optional<RankingStops> ConsoleOperations::StoppedRankings(std::size_t listed) const
{
    const Registry& table = form_.Cad;
    if (!table.SortFails())
        return std::nullopt;
    const std::vector<int> rows = table.BadScoreRows();
    RankingStops stops{rows.size(), {}};
    for (std::size_t i = 0; i < rows.size() && i < listed; ++i)
        stops.first.push_back({rows[i], std::string(table.Cell(Registry::kNick, rows[i])),
                               std::string(table.Cell(Registry::kScore, rows[i]))});
    return stops;
}

std::string ConsoleOperations::RegisteredNick(std::string_view nick) const
{
    const int row = form_.Cad.NickRow(nick);
    return row == 0 ? std::string() : std::string(form_.Cad.Cell(Registry::kNick, row));
}

// The console's request starts a round of the flood guard, as a player's does.
void ConsoleOperations::Log(std::string_view line)
{
    rooms_.door.Guard().StartRound(rooms_.clock.Read());
    form_.LogFile.AppendReceived(kConsoleSource, line);
}

void ConsoleOperations::KickPlayer(std::string_view nick)
{
    MessageSender::Scope scope(rooms_.sender, true);
    Log("kick|" + std::string(nick));
    const int row = PlayerRow(nick);
    if (!form_.Cad.IsOnline(row))
        throw ConsoleRefusal(Shown(form_.Cad.Cell(Registry::kNick, row)) + " is not online");
    // Copied: the leave's broadcasts may dispatch events that change the table.
    const std::string registered(form_.Cad.Cell(Registry::kNick, row));
    rooms_.requests.Leave(row, registered);
}

void ConsoleOperations::SendNotice(std::string_view text)
{
    const std::string message = std::string(messages::kSystem) + std::string(text);
    if (message.size() > messages::kMaxDatagram)
        throw ConsoleRefusal("the notice is " + std::to_string(text.size()) + " bytes in the lobby's code page; one datagram holds " +
                             std::to_string(messages::kMaxDatagram - messages::kSystem.size()));
    MessageSender::Scope scope(rooms_.sender, true);
    Log("notice|" + std::string(text));
    form_.Broadcast(message);
}

// The change was recorded as a score report's is, so the saves' group commit covers it: the
// group in flight, or the one that follows it, puts it on disk, and done hears of it then.
void ConsoleOperations::SaveChange(SaveDone done)
{
    rooms_.saves.WhenOnDisk(std::move(done));
    rooms_.saves.Request();
}

void ConsoleOperations::ChangePassword(std::string_view nick, std::string_view password, SaveDone done)
{
    MessageSender::Scope scope(rooms_.sender, true);
    // The new password stays out of the log; the players' own requests are theirs to log.
    Log("password|" + std::string(nick));
    const int row = PlayerRow(nick);
    if (password.find_first_of(std::string_view("|,\r\n\0", 5)) != std::string_view::npos)
        throw ConsoleRefusal("a password holds no \"|\", \",\", line end or NUL byte: the registry could not keep it, or no "
                             "request could carry it");
    rooms_.changes.SetPassword(row, password);
    SaveChange(std::move(done));
}

void ConsoleOperations::RemovePlayer(std::string_view nick, SaveDone done)
{
    MessageSender::Scope scope(rooms_.sender, true);
    Log("remove|" + std::string(nick));
    const int row = PlayerRow(nick);
    const bool wasOnline = form_.Cad.IsOnline(row);
    const bool wasRanked = row < 10;
    rooms_.changes.RemovePlayer(row);
    SaveChange(std::move(done));
    if (wasOnline)
        form_.SendPlayerList();
    if (wasRanked)
        form_.SendRanking(); // waits for the save, as any ranking does
}

void ConsoleOperations::RemoveEmptyNicks(const std::function<SaveDone(int removed)>& doneFor)
{
    MessageSender::Scope scope(rooms_.sender, true);
    Log("remove|--empty-nick");
    Registry& table = form_.Cad;
    std::vector<int> rows;
    for (int row = 1; row < table.RowCount(); ++row) {
        if (table.Cell(Registry::kNick, row).empty())
            rows.push_back(row);
    }
    if (rows.empty())
        throw ConsoleRefusal("no row of the registry has an empty nick");
    bool wasOnline = false;
    // From the bottom up, so the rows still to go keep their numbers. A journal names players by
    // their nick, which these rows lack: the whole file is rewritten instead, and the console
    // answers once that rewrite is on disk.
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
        wasOnline = wasOnline || table.IsOnline(*row);
        table.RemovePlayer(*row);
    }
    rooms_.saves.RewriteSoon(doneFor(static_cast<int>(rows.size())));
    if (wasOnline)
        form_.SendPlayerList();
    if (rows.front() < 10)
        form_.SendRanking(); // waits for the save, as any ranking does
}

void ConsoleOperations::SetScore(std::string_view nick, std::int32_t score, SaveDone done)
{
    MessageSender::Scope scope(rooms_.sender, true);
    Log("score|" + std::string(nick) + "|" + std::to_string(score));
    const int row = PlayerRow(nick);
    rooms_.changes.SetScore(row, IntToStr(score));
    bool sorted = true;
    try {
        form_.SortByScore();
    } catch (const EConvertError&) {
        sorted = false; // the console's answer says what stops the rankings
    }
    SaveChange(std::move(done));
    if (sorted)
        rooms_.pacing.PublishRanking(); // waits for that save
}

void ConsoleOperations::SaveNow(SaveDone done)
{
    MessageSender::Scope scope(rooms_.sender, true);
    Log("save");
    rooms_.saves.RewriteSoon(std::move(done));
}

std::optional<std::vector<std::string>> ConsoleOperations::AddBan(const BanEntry& entry)
{
    MessageSender::Scope scope(rooms_.sender, true);
    Log("ban|" + entry.Text());
    if (rooms_.door.Bans().Contains(entry))
        return std::nullopt;
    BanList changed = rooms_.door.Bans();
    changed.Add(entry);
    WriteFileReplacing(rooms_.door.BansPath(), changed.FileText());
    rooms_.door.SetBans(std::move(changed));

    // Who it names goes offline at once, all of them before anyone is told, so nothing more
    // goes to a banned address; then the others get each leave notice, as an "off" sends it,
    // and the player list once. Their requests are dropped from now on.
    std::vector<std::string> named;
    form_.Cad.ForEachOnline([&](Registry::RowId id) {
        const bool byNick = entry.kind == BanEntry::Kind::Nick && EqualIgnoringAsciiCase(form_.Cad.CellOf(id, Registry::kNick), entry.value);
        const auto address = ParseDottedQuad(form_.Cad.CellOf(id, Registry::kAddress));
        const bool byAddress = address && entry.Covers(*address);
        if (!byNick && !byAddress)
            return;
        named.emplace_back(form_.Cad.CellOf(id, Registry::kNick));
        form_.Cad.SetCell(Registry::kMarker, form_.Cad.RowOfId(id), "");
    });
    for (const std::string& nick : named)
        form_.Broadcast(std::string(messages::kLeavePrefix) + nick + std::string(messages::kLeaveSuffix));
    if (!named.empty())
        form_.SendPlayerList();
    return named;
}

bool ConsoleOperations::RemoveBan(const BanEntry& entry)
{
    MessageSender::Scope scope(rooms_.sender, true);
    Log("unban|" + entry.Text());
    BanList changed = rooms_.door.Bans();
    if (!changed.Remove(entry))
        return false;
    WriteFileReplacing(rooms_.door.BansPath(), changed.FileText());
    rooms_.door.SetBans(std::move(changed));
    return true;
}

} // namespace lobby
