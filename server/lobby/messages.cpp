#include "server/lobby/messages.h"

namespace lobby {

bool messages::AppendListEntry(std::string& list, std::string_view entry)
{
    if (list.size() + entry.size() + kListEnd.size() > kMaxDatagram)
        return false;
    list += entry;
    return true;
}

std::string messages::PlayerList(const Registry& Cad)
{
    std::string list(messages::kPlayerList);
    std::string entry;
    for (const Registry::RowId id : Cad.Online()) {
        entry.assign(Cad.CellOf(id, Registry::kFlag));
        entry += Cad.CellOf(id, Registry::kNick);
        entry += '|';
        if (!messages::AppendListEntry(list, entry))
            break;
    }
    list += messages::kListEnd;
    return list;
}

std::string messages::Ranking(const Registry& Cad)
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
    return list;
}

} // namespace lobby
