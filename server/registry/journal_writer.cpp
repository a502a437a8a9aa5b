#include "server/registry/journal_writer.h"

namespace lobby {

std::exception_ptr AppendGroup(JournalFile& journal, const std::vector<EncodedRecord>& group)
{
    try {
        journal.Append(group);
        return nullptr;
    } catch (...) {
        return std::current_exception();
    }
}

void InlineJournalWriter::Start(JournalFile& journal, std::vector<EncodedRecord> group, Done done)
{
    done(AppendGroup(journal, group));
}

void BackgroundJournalWriter::Start(JournalFile& journal, std::vector<EncodedRecord> group, Done done)
{
    job_.Start([&journal, group = std::move(group)] { return AppendGroup(journal, group); }, std::move(done));
}

} // namespace lobby
