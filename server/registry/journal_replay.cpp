#include "server/registry/journal_replay.h"

#include "platform/exception.h"

namespace lobby {

namespace {

using Kind = JournalRecord::Kind;

constexpr std::string_view kWhatToDo =
    "To keep its changes, put back the registry file it was written for; to start from the registry as it is "
    "and drop them, move the journal away. Then start the lobby again";

// The fields each kind of change holds.
std::size_t FieldsOf(Kind kind)
{
    switch (kind) {
    case Kind::kNewPlayer:
        return 3;
    case Kind::kScore:
    case Kind::kFlag:
    case Kind::kPassword:
    case Kind::kCheckpoint:
        return 2;
    case Kind::kRemove:
        return 1;
    }
    return 0;
}

bool IsChange(const JournalRecord& record)
{
    return record.kind != Kind::kCheckpoint;
}

std::string Describe(const JournalRecord& record)
{
    const std::string nick = record.fields.empty() ? std::string() : "\"" + record.fields[0] + "\"";
    switch (record.kind) {
    case Kind::kNewPlayer:
        return "the new player " + nick;
    case Kind::kScore:
        return "the score of " + nick;
    case Kind::kFlag:
        return "the flag of " + nick;
    case Kind::kPassword:
        return "the password of " + nick;
    case Kind::kRemove:
        return "the removal of " + nick;
    case Kind::kCheckpoint:
        break;
    }
    return "a change of an unknown kind";
}

// Applies one change; false when it cannot apply to the table as it stands.
bool Apply(Registry& table, const JournalRecord& record)
{
    if (record.fields.size() != FieldsOf(record.kind) || !IsChange(record))
        return false;
    const int row = table.NickRow(record.fields[0]);
    if (record.kind == Kind::kNewPlayer) {
        if (row != 0)
            return false;
        const int added = table.AddPlayer(record.fields[0], record.fields[1], record.fields[2]);
        table.SetCell(Registry::kMarker, added, ""); // loaded players start offline
        return true;
    }
    if (row == 0)
        return false;
    switch (record.kind) {
    case Kind::kScore:
        table.SetCell(Registry::kScore, row, record.fields[1]);
        break;
    case Kind::kFlag:
        table.SetCell(Registry::kFlag, row, record.fields[1]);
        break;
    case Kind::kPassword:
        table.SetCell(Registry::kPassword, row, record.fields[1]);
        break;
    default:
        table.RemovePlayer(row);
        break;
    }
    return true;
}

// The change the registry file holds up to, when the journal extends it; nothing otherwise.
std::optional<std::uint64_t> BaseFor(const ParsedJournal& journal, const FileIdentity& file, bool& extendsFile)
{
    extendsFile = journal.extends == file;
    if (extendsFile)
        return journal.base;
    for (auto record = journal.records.rbegin(); record != journal.records.rend(); ++record) {
        if (record->kind != Kind::kCheckpoint || record->fields.size() != 2)
            continue;
        if (record->fields[0] == std::to_string(file.size) && record->fields[1] == std::to_string(file.crc))
            return record->seq;
    }
    return std::nullopt;
}

} // namespace

ReplayOutcome ReplayJournal(Registry& table, const ParsedJournal& journal, const FileIdentity& file,
                            const JournalPaths& paths)
{
    const std::string both = "The registry journal " + paths.journal + " ";
    if (!journal.headerValid)
        throw JournalRefused(both + "is no journal of this lobby (its first line is not a journal's). " + std::string(kWhatToDo));
    if (journal.damagedAt)
        throw JournalRefused(both + "is damaged at byte " + std::to_string(*journal.damagedAt) +
                             ", with changes after it that cannot be read. " + std::string(kWhatToDo));
    ReplayOutcome outcome;
    outcome.tornBytes = journal.tornBytes;
    const std::optional<std::uint64_t> base = BaseFor(journal, file, outcome.extendsFile);
    if (!base) {
        for (const JournalRecord& record : journal.records) {
            if (IsChange(record))
                throw JournalRefused(both + "was written for another registry file (" + journal.extends.Text() + ") than " +
                                     paths.registry + " (" + file.Text() +
                                     "): the file was replaced or edited while the lobby was down. " + std::string(kWhatToDo));
        }
        return outcome; // nothing in it to lose
    }
    outcome.base = outcome.last = *base;
    for (const JournalRecord& record : journal.records) {
        outcome.checkpointed = outcome.checkpointed || !IsChange(record);
        if (!IsChange(record) || record.seq <= *base)
            continue;
        if (!Apply(table, record))
            throw JournalRefused(both + "holds a change that cannot apply to the registry " + paths.registry + ": change " +
                                 std::to_string(record.seq) + ", " + Describe(record) + ". " + std::string(kWhatToDo));
        ++outcome.applied;
        outcome.last = std::max(outcome.last, record.seq);
        outcome.kept.push_back(EncodedRecord{record.seq, EncodeRecord(record)});
    }
    if (outcome.applied == 0)
        return outcome;
    try {
        table.SortByScore(); // the ranking as the reports left it
    } catch (const EConvertError&) {
        // A score in the file that is no integer: the lobby tells of it once loaded, and its
        // reports are not ranked until it is mended, as without a journal.
    }
    return outcome;
}

} // namespace lobby
