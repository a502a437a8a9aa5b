#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/registry/registry.h"
#include "server/registry/registry_file.h"
#include "server/registry/registry_journal.h"

namespace lobby {

// The journal cannot be applied to the registry file as it is: it was written for another
// file, a change in it cannot apply, or it is damaged. The lobby does not start, so nothing
// a player was told is dropped unseen; the message names both files and what to do.
class JournalRefused : public RegistryUnreadable {
public:
    using RegistryUnreadable::RegistryUnreadable;
};

// What replaying a journal did.
struct ReplayOutcome {
    std::size_t applied = 0;      // changes applied to the table
    std::uint64_t base = 0;       // the registry file holds every change up to this one...
    std::uint64_t last = 0;       // ...and the table now every change up to this one
    bool extendsFile = false;     // the journal's header names the file: it goes on as it is
    std::size_t tornBytes = 0;    // a last record cut short by a crash, dropped
    bool checkpointed = false;    // it names a rewrite that never took the file's place
    std::vector<EncodedRecord> kept; // the changes after base, as the journal's records
};

// The paths the operator is told of.
struct JournalPaths {
    std::string registry;
    std::string journal;
};

// Applies to table, just loaded from the registry file of identity file, the changes of
// journal that the file does not hold yet: those after the change its header names, when the
// header names this file, or else after the last checkpoint that names it (a crash came
// between a rewrite of the file and the restart of its journal). A journal for another file
// that holds changes, a damaged one, or a change that cannot apply (a player unknown, a nick
// registered twice) raises JournalRefused, the table then half changed (the lobby does not
// start). A journal with no change in it for another file is left, with nothing applied.
ReplayOutcome ReplayJournal(Registry& table, const ParsedJournal& journal, const FileIdentity& file,
                            const JournalPaths& paths);

} // namespace lobby
