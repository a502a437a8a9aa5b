#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/exception.h"
#include "server/lobby/ban_list.h"
#include "server/lobby/save_scheduler.h"

namespace lobby {

class TForm1;

// What the operator's console asked for cannot be done; the message says why, for the
// operator. Raised before anything changed.
class ConsoleRefusal : public Exception {
public:
    using Exception::Exception;
};

// What the operator's console does to the lobby. Each runs as a handler of its own and goes
// the way a player's request would, and its line in the traffic log says the console did it
// ("console: time kick|ana"). A nick is found as a login finds it, a-z in either case. What
// cannot be done raises ConsoleRefusal saying why, before anything changed.
class ConsoleOperations {
public:
    using SaveDone = SaveScheduler::SaveDone;

    explicit ConsoleOperations(TForm1& form) : form_(form) {}

    // The player goes offline now; the others get the leave notice and the player list.
    void KickPlayer(std::string_view nick);
    // "sys|" + text (in the code page) to every player online.
    void SendNotice(std::string_view text);
    void ChangePassword(std::string_view nick, std::string_view password, SaveDone done);
    // The player's row goes and its nick is free again; the others get the player list when
    // it was online, the ranking (once on disk) when it was among the nine shown.
    void RemovePlayer(std::string_view nick, SaveDone done);
    // Every row whose nick is empty (blank lines of a hand-edited file, rows no login can
    // name) goes, as RemovePlayer takes one. doneFor(how many) gives what hears of the save
    // (which may end before this returns). Refused when there is none.
    void RemoveEmptyNicks(const std::function<SaveDone(int removed)>& doneFor);
    // Sets the player's score as a score report changes it: the table sorted and saved, and
    // the ranking sent once on disk. A score elsewhere that is no integer still stops the
    // sort: the score is set and saved all the same, and no ranking goes out.
    void SetScore(std::string_view nick, std::int32_t score, SaveDone done);
    // A save of the whole table now.
    void SaveNow(SaveDone done);
    // Adds a ban, on disk before it returns (raises when the list cannot be written, nothing
    // changed), and takes offline the players online it names: their nicks. Nothing when the
    // ban was there already.
    std::optional<std::vector<std::string>> AddBan(const BanEntry& entry);
    // Removes a ban, on disk before it returns; false when there was none.
    bool RemoveBan(const BanEntry& entry);

private:
    int PlayerRow(std::string_view nick) const;
    void Log(std::string_view line);
    // Counts the table's change just made as a change to save, and has done run once it is on disk.
    void SaveChange(SaveDone done);

    TForm1& form_;
};

} // namespace lobby
