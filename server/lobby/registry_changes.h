#pragma once

#include <string_view>

#include "server/lobby/save_scheduler.h"
#include "server/registry/registry.h"

namespace lobby {

// Every change to the registry that the lobby promises to keep goes through here: the table
// is changed and the change recorded for the journal in one step, so no path can change a
// kept cell without the journal hearing of it. Presence is not kept (loaded players start
// offline), so the marker is set on the table directly. What waits for the change to reach
// the disk (HoldScores, a console's reply) is the caller's to ask for, as before.
class RegistryChanges {
public:
    RegistryChanges(Registry& table, SaveScheduler& saves) : table_(table), saves_(saves) {}

    // A new player, online, score 0, flag "-"; returns its row.
    int AddPlayer(std::string_view nick, std::string_view password, std::string_view address);
    // The score's text as it now stands (the sum, not the points added).
    void SetScore(int row, std::string_view score);
    // The flag; its record goes with the next group (or the quiet rewrite), nothing waits
    // for it, as nothing waited for it to be saved before.
    void SetFlag(int row, std::string_view flag);
    void SetPassword(int row, std::string_view password);
    void RemovePlayer(int row);

private:
    void Record(JournalRecord::Kind kind, std::string_view nick, std::string_view value, bool withValue = true);

    Registry& table_;
    SaveScheduler& saves_;
};

} // namespace lobby
