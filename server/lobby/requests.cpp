#include <algorithm>
#include <initializer_list>
#include <limits>
#include <string>

#include "server/lobby/form1.h"
#include "server/registry/integer_text.h"
#include "server/lobby/messages.h"
#include "server/lobby/password_mask.h"
#include "server/lobby/score_mending.h"

namespace lobby {

namespace {

// A nick or password holding one of these bytes could not be written to the registry file
// and read back as the same cells (the file's lines have no quoting).
bool StorableInRegistry(std::string_view text)
{
    return text.find_first_of(std::string_view(",\r\n\0", 4)) == std::string_view::npos;
}

// Whether the request may register its nick: an empty nick names nobody (a row with one, from
// an old file, still logs in), and both must be storable.
bool Registrable(const RequestFields& request)
{
    return !request.nick.empty() && StorableInRegistry(request.nick) && StorableInRegistry(request.password);
}

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

// One request: "nick|password|cmd|argument". Admitted by the flood guard, logged, logged in,
// then carried out. A request that cannot name a nick and a password goes no further than the
// log. Any error raised here ends this request only, with what it did so far kept; the caller
// reports it and goes on serving.
void TForm1::UDP1DataReceived(DatagramEndpoint& /*Sender*/, std::int32_t NumberBytes,
                              const std::string& FromIP, std::int32_t /*Port*/, std::string_view Bytes)
{
    if (NumberBytes < 0) {
        ++counters_.dropped; // a failed receive: nothing was read, so nothing to log or answer
        return;
    }
    ++counters_.received;
    // As a read of NumberBytes bytes out of the datagram would.
    if (static_cast<std::size_t>(NumberBytes) > Bytes.size())
        throw EStreamError("Stream read error");
    const std::string bytes(Bytes.substr(0, static_cast<std::size_t>(NumberBytes)));
    // Split once, into views into bytes, which live to the end of this handler.
    const std::optional<RequestFields> request = SplitRequest(bytes);
    const RequestSource source{FromIP, Guard.KeyOf(FromIP)};
    if (RefusedByBan(FromIP, request))
        return; // dropped unseen, as a flood is, and counted

    // Over its source's limits a request is dropped unseen, neither logged nor answered: a
    // flood then costs the disk and the network nothing. The guard's round starts here, so
    // what this request sends is held to its rules on sending.
    const std::int64_t now = StartHandlerClock();
    if (!Guard.AdmitRequest(source.key, now)) {
        CountDropped();
        return;
    }
    // The nick is looked up once, for the registration allowance and the login both; nothing
    // between the two changes the table.
    const int nickRow = request ? Cad.NickRow(request->nick) : 0;
    if (request && nickRow == 0 && !AdmitRegistration(source, *request, now)) {
        CountDropped();
        return;
    }
    if (request && nickRow == 0 && !AdmitNewNick(source, *request, bytes, now))
        return; // waits for the lobby's allowance of new nicks, or was dropped (and counted)
    CarryOut(source, bytes, request, nickRow, now);
}

// What the request sends is charged to its source whichever way it ends, for the lobby's
// fair share of output; a request nested in this one's host-name lookup counts its own.
void TForm1::CarryOut(const RequestSource& source, const std::string& bytes, const std::optional<RequestFields>& request,
                      int nickRow, std::int64_t nowMs)
{
    const std::uint64_t outer = std::exchange(sender_.requestDatagrams, 0);
    try {
        CarryOutCommand(source, bytes, request, nickRow);
    } catch (...) {
        Guard.ChargeOutput(source.key, std::exchange(sender_.requestDatagrams, outer), nowMs);
        throw;
    }
    Guard.ChargeOutput(source.key, std::exchange(sender_.requestDatagrams, outer), nowMs);
}

void TForm1::CarryOutCommand(const RequestSource& source, const std::string& bytes,
                             const std::optional<RequestFields>& request, int nickRow)
{
    // Every line and datagram of this request is gathered and handed over when it ends, also
    // when it ends with an error.
    OutputScope scope(sender_, true);
    if (environment_.maskPasswords)
        LogFile.AppendReceived(source.address, MaskRequestPassword(bytes));
    else
        LogFile.AppendReceived(source.address, bytes);
    if (!request)
        return;
    const std::optional<int> row = LogIn(source, *request, nickRow);
    if (!row)
        return;
    NoteRequest(*row);

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

// A request that would register a new nick takes one from its source's registration
// allowance. One refused anyway (a nick that cannot be stored, a full registry) registers
// nobody, so it takes nothing. Nothing is changed in the registry.
bool TForm1::AdmitRegistration(const RequestSource& source, const RequestFields& request, std::int64_t nowMs)
{
    if (Guard.Limits().registrationsPerHour == 0 || !WouldRegister(request))
        return true;
    return Guard.AdmitRegistration(source.key, nowMs);
}

bool TForm1::WouldRegister(const RequestFields& request) const
{
    return Registrable(request) && !RegistryFull();
}

// A new nick beyond the lobby's allowance waits its turn (Timer2 serves it), unless the wait
// is full of requests to be served before it; then it is dropped, as the last of them would
// be to make room for it otherwise. While some wait, a new one waits too, so that it cannot
// pass those before it.
bool TForm1::AdmitNewNick(const RequestSource& source, const RequestFields& request, const std::string& bytes,
                          std::int64_t nowMs)
{
    if (!WouldRegister(request))
        return true; // refused anyway: it registers nobody
    if (waiting_.Empty() && Guard.AdmitLobbyRegistration(nowMs))
        return true;
    const std::optional<AddressKey> dropped =
        waiting_.Add(bytes, std::string(source.address), source.key, Guard.RegistrationsLeft(source.key, nowMs), nowMs,
                     Guard.Limits().lobbyRegistrationsPerSecond);
    if (dropped) {
        Guard.CountRegistrationNotServed(*dropped);
        CountDropped();
    }
    ArmTimer2();
    return false;
}


// A known nick (nickRow, from NickRow) with its password is logged in, its row marked online;
// with another password it is refused. An unknown nick is registered from the source and
// welcomed, unless it is empty or cannot be stored or the registry is full: refused too, in
// the same words, so the client asks its player for another nick (and the operator hears
// once of a full registry). The welcome, and all this request sends after it, waits for the
// save that puts the nick on disk: a crash must not hand a nick somebody was welcomed with
// to whoever asks for it next.
std::optional<int> TForm1::LogIn(const RequestSource& source, const RequestFields& request, int nickRow)
{
    if (nickRow != 0) {
        const std::int32_t row = Cad.CheckLoginAt(nickRow, request.password);
        if (row == -1) {
            Reply(source, messages::kNickTaken);
            return std::nullopt;
        }
        return row;
    }
    if (!Registrable(request)) {
        Reply(source, messages::kNickTaken);
        return std::nullopt;
    }
    if (RegistryFull()) {
        Reply(source, messages::kNickTaken);
        ReportRegistryFullOnce();
        return std::nullopt;
    }
    const int row = changes_.AddPlayer(request.nick, request.password, source.address);
    HoldScores();
    Reply(source, messages::kWelcome);
    Cad.SetFixedRows(1);
    return row;
}

// slc: the own score, the "+" flag, the player list and the ranking to everyone online, then
// the welcome to the game. The own score and everything after it wait for a save that
// covers the score shown.
void TForm1::JoinGame(const RequestSource& source, int row)
{
    HoldScores();
    Reply(source, Joined({messages::kOwnScore, Cad.Cell(Registry::kScore, row)}));
    changes_.SetFlag(row, "+");
    PublishPlayerList(Cad.IdOfRow(row));
    PublishRanking(Cad.IdOfRow(row));
    Reply(source, messages::kConnected);
}

// msg: the chat line to everyone online, the nick as this request wrote it.
void TForm1::Chat(std::string_view nick, std::string_view text)
{
    Broadcast(Joined({messages::kChat, nick, messages::kSaid, text}));
}

// off: offline first, so the leaving player gets neither the notice nor the list.
void TForm1::Leave(int row, std::string_view nick)
{
    Cad.SetCell(Registry::kMarker, row, "");
    Broadcast(Joined({messages::kLeavePrefix, nick, messages::kLeaveSuffix}));
    PublishPlayerList();
}

// pvt "target|text": the line to every online player whose nick is exactly target; without
// a "|" the target is empty and the text is the whole argument. No confirmation to the
// sender. Target and text are views into the request, which outlives the walk.
void TForm1::SendPrivateLine(std::string_view nick, std::string_view argument)
{
    const auto bar = argument.find('|');
    const std::string_view target = bar == std::string_view::npos ? std::string_view() : argument.substr(0, bar);
    const std::string_view text = bar == std::string_view::npos ? argument : argument.substr(bar + 1);
    const std::string line = Joined({messages::kChat, nick, messages::kPrivate, text});
    OutgoingMessage outgoing(line);
    Cad.ForEachOnline([&](Registry::RowId id) {
        if (Cad.CellOf(id, Registry::kNick) == target)
            sender_.Deliver(Cad.CellOf(id, Registry::kAddress), outgoing);
    });
}

// fc+ and fc-: the flag, and the player list that shows it.
void TForm1::SetFlag(int row, std::string_view flag)
{
    changes_.SetFlag(row, flag);
    PublishPlayerList(Cad.IdOfRow(row));
}

// scj: the points added to the score (a score or points that are no integer raise, with the
// cell unchanged), the table sorted and saved, and the ranking sent once the save is on disk.
// A sort that fails on another row's score (a bad cell in the file) ends the report without
// a ranking, but the table is saved all the same: the points are the player's either way.
// A bad cell is told in the lobby's words, with the console command that mends it.
void TForm1::ReportScore(int row, std::string_view points)
{
    const std::optional<std::int32_t> score = TryStrToInt(Cad.Cell(Registry::kScore, row));
    if (!score)
        throw Exception("a score report is not counted: " + BadScoreText(row, Cad.Cell(Registry::kNick, row),
                                                                         Cad.Cell(Registry::kScore, row)));
    const std::int32_t added = StrToInt(points);
    changes_.SetScore(row, IntToStr(AddSaturating(*score, added))); // a score shown waits for it, even if the sort fails
    const Registry::RowId player = Cad.IdOfRow(row); // the sort moves the row
    try {
        SortByScoreOrExplain(Cad);
    } catch (const Exception&) {
        RequestSave();
        throw;
    }
    RequestSave();
    PublishRanking(player); // waits for that save
}

// The guard is asked here, by the key the request's admission worked out, so Deliver does not
// work it out again. Runs inside the request's output scope, so it opens none of its own.
void TForm1::Reply(const RequestSource& source, std::string_view message)
{
    OutgoingMessage outgoing(message);
    if (!Guard.AdmitSend(source.key, outgoing.bytes))
        return;
    outgoing.admitted = true;
    sender_.Deliver(source.address, outgoing);
}

} // namespace lobby
