#include "server/lobby/registry_changes.h"

#include <string>

namespace lobby {

void RegistryChanges::Record(JournalRecord::Kind kind, std::string_view nick, std::string_view value, bool withValue)
{
    JournalRecord record{0, kind, {std::string(nick)}};
    if (withValue)
        record.fields.emplace_back(value);
    saves_.Record(std::move(record), kind != JournalRecord::Kind::kFlag);
}

int RegistryChanges::AddPlayer(std::string_view nick, std::string_view password, std::string_view address)
{
    const int row = table_.AddPlayer(nick, password, address);
    saves_.Record(JournalRecord{0, JournalRecord::Kind::kNewPlayer,
                                {std::string(nick), std::string(password), std::string(address)}});
    return row;
}

void RegistryChanges::SetScore(int row, std::string_view score)
{
    table_.SetCell(Registry::kScore, row, score);
    Record(JournalRecord::Kind::kScore, table_.Cell(Registry::kNick, row), table_.Cell(Registry::kScore, row));
}

void RegistryChanges::SetFlag(int row, std::string_view flag)
{
    if (table_.Cell(Registry::kFlag, row) == flag)
        return; // a join with the flag up already changes nothing to keep
    table_.SetCell(Registry::kFlag, row, flag);
    Record(JournalRecord::Kind::kFlag, table_.Cell(Registry::kNick, row), table_.Cell(Registry::kFlag, row));
}

void RegistryChanges::SetPassword(int row, std::string_view password)
{
    table_.SetCell(Registry::kPassword, row, password);
    Record(JournalRecord::Kind::kPassword, table_.Cell(Registry::kNick, row), table_.Cell(Registry::kPassword, row));
}

void RegistryChanges::RemovePlayer(int row)
{
    const std::string nick(table_.Cell(Registry::kNick, row));
    table_.RemovePlayer(row);
    Record(JournalRecord::Kind::kRemove, nick, {}, false);
}

} // namespace lobby
