#include <string>

#include "server/lobby/form1.h"
#include "server/lobby/messages.h"

namespace lobby {

// Logs the message, then sends it as one datagram to port RemotePort of address. An empty
// address is a row that never gets anything; a datagram the flood guard holds back (a copy,
// or over a silent address's budget) is neither logged nor sent.
void TForm1::SendMessageTo(std::string_view address, std::string_view message)
{
    MessageSender::Scope scope(sender_, false);
    MessageSender::Message outgoing(message);
    sender_.Deliver(address, outgoing);
}

// Sends to every online row's stored address, in row order. A row that goes offline while
// the broadcast runs (a send to a host name dispatches other events while it waits for the
// lookup) is skipped from then on.
void TForm1::Broadcast(std::string_view message)
{
    MessageSender::Scope scope(sender_, false);
    MessageSender::Message outgoing(message);
    Cad.ForEachOnline([&](Registry::RowId id) { sender_.Deliver(Cad.CellOf(id, Registry::kAddress), outgoing); });
}

void TForm1::SendPlayerList()
{
    MessageSender::Scope scope(sender_, false);
    Broadcast(messages::PlayerList(Cad));
}

// A ranking shows scores: it waits for the save that puts them on disk.
void TForm1::SendRanking()
{
    MessageSender::Scope scope(sender_, false);
    saves_.HoldScores();
    Broadcast(messages::Ranking(Cad));
}

} // namespace lobby
