#include "server/lobby/request_handler.h"

#include <initializer_list>
#include <limits>
#include <string>
#include <utility>

#include "server/lobby/form1.h"
#include "server/lobby/messages.h"
#include "server/lobby/paced_work.h"
#include "server/lobby/password_mask.h"
#include "server/lobby/score_mending.h"
#include "server/registry/integer_text.h"

namespace lobby {

namespace {

// Points are added without wrapping: a top player who reports more points stays on top.
std::int32_t AddSaturating(std::int32_t a, std::int32_t b)
{
    const std::int64_t sum = static_cast<std::int64_t>(a) + b;
    if (sum > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (sum < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(sum);
}

// The pieces joined into one message text.
std::string Joined(std::initializer_list<std::string_view> pieces)
{
    std::size_t size = 0;
    for (const std::string_view piece : pieces)
        size += piece.size();
    std::string text;
    text.reserve(size);
    for (const std::string_view piece : pieces)
        text += piece;
    return text;
}

} // namespace

// What the request sends is charged to its source whichever way it ends, for the lobby's
// fair share of output; a request nested in this one's host-name lookup counts its own.
void RequestHandler::CarryOut(const RequestSource& source, std::string_view bytes,
                              const std::optional<RequestFields>& request, int nickRow, std::int64_t nowMs)
{
    const std::uint64_t outer = std::exchange(rooms_.sender.requestDatagrams, 0);
    try {
        CarryOutCommand(source, bytes, request, nickRow);
    } catch (...) {
        rooms_.door.Guard().ChargeOutput(source.key, std::exchange(rooms_.sender.requestDatagrams, outer), nowMs);
        throw;
    }
    rooms_.door.Guard().ChargeOutput(source.key, std::exchange(rooms_.sender.requestDatagrams, outer), nowMs);
}

// As many as the allowance serves now, best first; one that has waited RegistrationWait::kWaitMs
// is dropped (its client has given up, or asked again). A request whose nick was registered
// meanwhile (the same client asking twice) is a login now and needs no allowance. Each is
// carried out as a handler of its own, so one that fails stops none of the others.
void RequestHandler::ServeWaitingRegistrations(std::int64_t nowMs)
{
    FloodGuard& guard = rooms_.door.Guard();
    RegistrationWait& waiting = rooms_.door.Waiting();
    waiting.Refresh(
        nowMs, [&](AddressKey key) { return guard.RegistrationsLeft(key, nowMs); },
        [&](AddressKey key) {
            guard.CountRegistrationNotServed(key);
            rooms_.status.CountDropped();
        });
    while (!waiting.Empty()) {
        const WaitingRegistration& best = waiting.Best();
        const std::optional<RequestFields> request = SplitRequest(best.bytes);
        const int nickRow = request ? form_.Cad.NickRow(request->nick) : 0;
        if (request && nickRow == 0 && rooms_.door.WouldRegister(*request) && !guard.AdmitLobbyRegistration(nowMs))
            return;
        // Out of the wait before it is carried out: a lookup inside may dispatch requests
        // that add to it. Split again, as the fields view the bytes where they now are.
        const WaitingRegistration served = waiting.TakeBest();
        const std::optional<RequestFields> fields = SplitRequest(served.bytes);
        const RequestSource source{served.address, served.key};
        guard.StartRound(nowMs); // its sends are a round of their own, as when it arrived
        form_.RunHandler([&] { CarryOut(source, served.bytes, fields, nickRow, nowMs); });
    }
}

void RequestHandler::CarryOutCommand(const RequestSource& source, std::string_view bytes,
                                     const std::optional<RequestFields>& request, int nickRow)
{
    // Every line and datagram of this request is gathered and handed over when it ends, also
    // when it ends with an error.
    MessageSender::Scope scope(rooms_.sender, true);
    if (maskPasswords_)
        form_.LogFile.AppendReceived(source.address, MaskRequestPassword(bytes));
    else
        form_.LogFile.AppendReceived(source.address, bytes);
    if (!request)
        return;
    const std::optional<int> row = LogIn(source, *request, nickRow);
    if (!row)
        return;
    rooms_.status.NoteRequest(*row);

    const std::string_view command = request->command;
    if (command == "slc")
        JoinGame(source, *row);
    else if (command == "msg")
        Chat(request->nick, request->argument);
    else if (command == "off")
        Leave(*row, request->nick);
    else if (command == "pvt")
        SendPrivateLine(request->nick, request->argument);
    else if (command == "fc+")
        SetFlag(*row, "+");
    else if (command == "fc-")
        SetFlag(*row, "-");
    else if (command == "scj")
        ReportScore(*row, request->argument);
}


// A known nick (nickRow, from NickRow) with its password is logged in, its row marked online;
// with another password it is refused. An unknown nick is registered from the source and
// welcomed, unless it is empty or cannot be stored or the registry is full: refused too, in
// the same words, so the client asks its player for another nick (and the operator hears
// once of a full registry). The welcome, and all this request sends after it, waits for the
// save that puts the nick on disk: a crash must not hand a nick somebody was welcomed with
// to whoever asks for it next.
std::optional<int> RequestHandler::LogIn(const RequestSource& source, const RequestFields& request, int nickRow)
{
    if (nickRow != 0) {
        const std::int32_t row = form_.Cad.CheckLoginAt(nickRow, request.password);
        if (row == -1) {
            Reply(source, messages::kNickTaken);
            return std::nullopt;
        }
        return row;
    }
    if (!Admission::Registrable(request)) {
        Reply(source, messages::kNickTaken);
        return std::nullopt;
    }
    if (rooms_.door.RegistryFull()) {
        Reply(source, messages::kNickTaken);
        rooms_.door.ReportRegistryFullOnce();
        return std::nullopt;
    }
    const int row = rooms_.changes.AddPlayer(request.nick, request.password, source.address);
    rooms_.saves.HoldScores();
    Reply(source, messages::kWelcome);
    form_.Cad.SetFixedRows(1);
    return row;
}

// slc: the own score, the "+" flag, the player list and the ranking to everyone online, then
// the welcome to the game. The own score and everything after it wait for a save that
// covers the score shown.
void RequestHandler::JoinGame(const RequestSource& source, int row)
{
    rooms_.saves.HoldScores();
    Reply(source, Joined({messages::kOwnScore, form_.Cad.Cell(Registry::kScore, row)}));
    rooms_.changes.SetFlag(row, "+");
    rooms_.pacing.PublishPlayerList(form_.Cad.IdOfRow(row));
    rooms_.pacing.PublishRanking(form_.Cad.IdOfRow(row));
    Reply(source, messages::kConnected);
}

// msg: the chat line to everyone online, the nick as this request wrote it.
void RequestHandler::Chat(std::string_view nick, std::string_view text)
{
    form_.Broadcast(Joined({messages::kChat, nick, messages::kSaid, text}));
}

// off: offline first, so the leaving player gets neither the notice nor the list.
void RequestHandler::Leave(int row, std::string_view nick)
{
    form_.Cad.SetCell(Registry::kMarker, row, "");
    form_.Broadcast(Joined({messages::kLeavePrefix, nick, messages::kLeaveSuffix}));
    rooms_.pacing.PublishPlayerList();
}

// pvt "target|text": the line to every online player whose nick is exactly target; without
// a "|" the target is empty and the text is the whole argument. No confirmation to the
// sender. Target and text are views into the request, which outlives the walk.
void RequestHandler::SendPrivateLine(std::string_view nick, std::string_view argument)
{
    const auto bar = argument.find('|');
    const std::string_view target = bar == std::string_view::npos ? std::string_view() : argument.substr(0, bar);
    const std::string_view text = bar == std::string_view::npos ? argument : argument.substr(bar + 1);
    const std::string line = Joined({messages::kChat, nick, messages::kPrivate, text});
    MessageSender::Message outgoing(line);
    form_.Cad.ForEachOnline([&](Registry::RowId id) {
        if (form_.Cad.CellOf(id, Registry::kNick) == target)
            rooms_.sender.Deliver(form_.Cad.CellOf(id, Registry::kAddress), outgoing);
    });
}

// fc+ and fc-: the flag, and the player list that shows it.
void RequestHandler::SetFlag(int row, std::string_view flag)
{
    rooms_.changes.SetFlag(row, flag);
    rooms_.pacing.PublishPlayerList(form_.Cad.IdOfRow(row));
}

// scj: the points added to the score (a score or points that are no integer raise, with the
// cell unchanged), the table sorted and saved, and the ranking sent once the save is on disk.
// A sort that fails on another row's score (a bad cell in the file) ends the report without
// a ranking, but the table is saved all the same: the points are the player's either way.
// A bad cell is told in the lobby's words, with the console command that mends it.
void RequestHandler::ReportScore(int row, std::string_view points)
{
    const std::optional<std::int32_t> score = TryStrToInt(form_.Cad.Cell(Registry::kScore, row));
    if (!score)
        throw Exception("a score report is not counted: " + BadScoreText(row, form_.Cad.Cell(Registry::kNick, row),
                                                                         form_.Cad.Cell(Registry::kScore, row)));
    const std::int32_t added = StrToInt(points);
    rooms_.changes.SetScore(row, IntToStr(AddSaturating(*score, added))); // a score shown waits for it, even if the sort fails
    const Registry::RowId player = form_.Cad.IdOfRow(row); // the sort moves the row
    try {
        SortByScoreOrExplain(form_.Cad);
    } catch (const Exception&) {
        rooms_.saves.Request();
        throw;
    }
    rooms_.saves.Request();
    rooms_.pacing.PublishRanking(player); // waits for that save
}

// The guard is asked here, by the key the request's admission worked out, so Deliver does not
// work it out again. Runs inside the request's output scope, so it opens none of its own.
void RequestHandler::Reply(const RequestSource& source, std::string_view message)
{
    MessageSender::Message outgoing(message);
    if (!rooms_.door.Guard().AdmitSend(source.key, outgoing.bytes))
        return;
    outgoing.admitted = true;
    rooms_.sender.Deliver(source.address, outgoing);
}

} // namespace lobby
