#include "server/messages.h"

#include <string>

#include "platform/exception.h"
#include "platform/stream.h"
#include "server/form1.h"

bool messages::AppendListEntry(std::string& list, std::string_view entry)
{
    if (list.size() + entry.size() + kListEnd.size() > kMaxDatagram)
        return false;
    list += entry;
    return true;
}

// Logs the message, then sends it as one datagram to port RemotePort of address. A message
// longer than a datagram is cut to it (only a relayed chat or private line can be), and the
// log shows what was sent. An empty address is a row that never gets anything; a datagram
// the flood guard holds back (a copy, or over a silent address's budget) is neither logged
// nor sent.
void TForm1::SendMessageTo(std::string_view address, std::string_view message)
{
    if (address.empty())
        return;
    if (!UDP1)
        throw Exception("No datagram endpoint to send with");
    const std::string_view datagram = message.substr(0, messages::kMaxDatagram);
    if (!Guard.AdmitSend(address, datagram))
        return;
    // Copied first: the views may point into registry cells that a nested event can change.
    // The stream is the message's one copy; the log line is made from it.
    const std::string destination(address);
    TMemoryStream stream;
    stream.WriteBuffer(datagram.data(), static_cast<std::int64_t>(datagram.size()));
    LogFile.WriteSent(destination, stream.Bytes());
    UDP1->SetRemoteHost(destination);
    UDP1->SendDatagram(stream);
    ++counters_.sent;
}

// Sends to every online row's stored address, in row order. A row that goes offline while
// the broadcast runs (a send can dispatch other events while it waits for a host name) is
// skipped from then on.
void TForm1::Broadcast(std::string_view message)
{
    const std::vector<int> online(Cad.OnlineRows().begin(), Cad.OnlineRows().end());
    for (int row : online) {
        if (row < Cad.RowCount() && Cad.IsOnline(row))
            SendMessageTo(Cad.Cell(Registry::kAddress, row), message);
    }
}

void TForm1::SendPlayerList()
{
    std::string list(messages::kPlayerList);
    std::string entry;
    for (int row : Cad.OnlineRows()) {
        entry.assign(Cad.Cell(Registry::kFlag, row));
        entry += Cad.Cell(Registry::kNick, row);
        entry += '|';
        if (!messages::AppendListEntry(list, entry))
            break;
    }
    list += messages::kListEnd;
    Broadcast(list);
}

// The first nine player rows, online or not: the top nine once scores have been sorted.
void TForm1::SendRanking()
{
    std::string list(messages::kRanking);
    std::string entry;
    for (int row = 1; row < 10 && row < Cad.RowCount(); ++row) {
        entry.assign(Cad.Cell(Registry::kNick, row));
        entry += " - ";
        entry += Cad.Cell(Registry::kScore, row);
        entry += '|';
        if (!messages::AppendListEntry(list, entry))
            break;
    }
    list += messages::kListEnd;
    Broadcast(list);
}
