#include <initializer_list>
#include <limits>
#include <string>

#include "platform/stream.h"
#include "server/form1.h"
#include "server/integer_text.h"
#include "server/messages.h"

namespace {

// A nick or password holding one of these bytes could not be written to the registry file
// and read back as the same cells (the file's lines have no quoting).
bool StorableInRegistry(std::string_view text)
{
    return text.find_first_of(std::string_view(",\r\n\0", 4)) == std::string_view::npos;
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

// Takes the text up to the next "|" off the front of rest; nothing when there is no "|".
std::optional<std::string_view> TakeField(std::string_view& rest)
{
    const auto bar = rest.find('|');
    if (bar == std::string_view::npos)
        return std::nullopt;
    const std::string_view field = rest.substr(0, bar);
    rest.remove_prefix(bar + 1);
    return field;
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

// Asks the flood guard about one request from source: every request takes one from the
// source's request allowance, and one that would register a new nick also one from its
// registration allowance. Nothing is changed in the registry. The guard's round starts here,
// so what this request sends is held to its rules on sending.
bool TForm1::AdmitRequest(const std::string& source, std::string_view request)
{
    const std::int64_t now = MonotonicNowMs();
    if (!Guard.AdmitRequest(source, now))
        return false;
    const auto firstBar = request.find('|');
    if (firstBar == std::string_view::npos)
        return true;
    const auto secondBar = request.find('|', firstBar + 1);
    if (secondBar == std::string_view::npos)
        return true;
    const std::string_view nick = request.substr(0, firstBar);
    const std::string_view password = request.substr(firstBar + 1, secondBar - firstBar - 1);
    if (Guard.Limits().registrationsPerHour == 0)
        return true;
    // Requests refused anyway (a nick that cannot be stored, a full registry) register nobody.
    if (Cad.NickRow(nick) != 0 || !StorableInRegistry(nick) || !StorableInRegistry(password) || RegistryFull())
        return true;
    return Guard.AdmitRegistration(source, now);
}

// One request: "nick|password|cmd|argument". Logged first; a request that cannot name a nick
// and a password goes no further. Any error raised here ends this request only, with what it
// did so far kept; the caller reports it and goes on serving.
void TForm1::UDP1DataReceived(DatagramEndpoint& Sender, std::int32_t NumberBytes,
                              const std::string& FromIP, std::int32_t /*Port*/)
{
    if (NumberBytes < 0) {
        ++counters_.dropped; // a failed receive: nothing was read, so nothing to log or answer
        return;
    }
    ++counters_.received;

    std::string request;
    {
        TMemoryStream stream;
        Sender.ReadDatagram(stream);
        request.resize(static_cast<std::size_t>(NumberBytes));
        stream.ReadBuffer(request.data(), NumberBytes);
    }
    // Over its source's limits a request is dropped unseen, neither logged nor answered: a
    // flood then costs the disk and the network nothing.
    if (!AdmitRequest(FromIP, request)) {
        CountDropped();
        return;
    }
    // Every line and datagram of this request is gathered and handed over when it ends, also
    // when it ends with an error.
    OutputScope scope(*this, true);
    LogFile.AppendReceived(FromIP, request);

    // Views into request, which lives to the end of this handler.
    std::string_view rest = request;
    const auto nick = TakeField(rest);
    if (!nick)
        return;
    const auto password = TakeField(rest);
    if (!password)
        return;

    std::int32_t row = Cad.CheckLogin(*nick, *password);
    if (row == -1) {
        SendMessageTo(FromIP, messages::kNickTaken);
        return;
    }
    if (row == 0) {
        // Refused as if taken, so the client asks its player for another nick.
        if (!StorableInRegistry(*nick) || !StorableInRegistry(*password)) {
            SendMessageTo(FromIP, messages::kNickTaken);
            return;
        }
        // A full registry turns newcomers away the same way; the operator hears of it once.
        if (RegistryFull()) {
            SendMessageTo(FromIP, messages::kNickTaken);
            ReportRegistryFullOnce();
            return;
        }
        row = Cad.AddPlayer(*nick, *password, FromIP);
        SendMessageTo(FromIP, messages::kWelcome);
        Cad.SetFixedRows(1);
    }

    const std::string_view command = rest.substr(0, 3);
    const std::string_view argument = rest.size() > 4 ? rest.substr(4) : std::string_view();

    if (command == "slc") {
        // The own score and everything after it wait for a save that covers the score shown.
        HoldScores();
        SendMessageTo(FromIP, Joined({messages::kOwnScore, Cad.Cell(Registry::kScore, row)}));
        Cad.SetCell(Registry::kFlag, row, "+");
        SendPlayerList();
        SendRanking();
        SendMessageTo(FromIP, messages::kConnected);
    } else if (command == "msg") {
        Broadcast(Joined({messages::kChat, *nick, messages::kSaid, argument}));
    } else if (command == "off") {
        Cad.SetCell(Registry::kMarker, row, "");
        Broadcast(Joined({messages::kLeavePrefix, *nick, messages::kLeaveSuffix}));
        SendPlayerList();
    } else if (command == "pvt") {
        const auto bar = argument.find('|');
        // Copied: the loop below sends, and a send may run nested events that change cells.
        const std::string target(bar == std::string_view::npos ? std::string_view() : argument.substr(0, bar));
        const std::string_view text = bar == std::string_view::npos ? argument : argument.substr(bar + 1);
        const std::string line = Joined({messages::kChat, *nick, messages::kPrivate, text});
        OutgoingMessage outgoing(line);
        const std::vector<Registry::RowId> online(Cad.Online().begin(), Cad.Online().end());
        for (const Registry::RowId id : online) {
            if (Cad.IsOnlineId(id) && Cad.CellOf(id, Registry::kNick) == target)
                Deliver(Cad.CellOf(id, Registry::kAddress), outgoing);
        }
    } else if (command == "fc+") {
        Cad.SetCell(Registry::kFlag, row, "+");
        SendPlayerList();
    } else if (command == "fc-") {
        Cad.SetCell(Registry::kFlag, row, "-");
        SendPlayerList();
    } else if (command == "scj") {
        const std::int32_t score = StrToInt(Cad.Cell(Registry::kScore, row));
        const std::int32_t points = StrToInt(argument);
        Cad.SetCell(Registry::kScore, row, IntToStr(AddSaturating(score, points)));
        ++scoreVersion_; // from now on a score shown waits for a save, even if the sort fails
        SortByScore();
        RequestSave();
        SendRanking(); // waits for that save
    }
}
