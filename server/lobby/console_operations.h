#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/exception.h"
#include "server/flood/flood_guard.h"
#include "server/lobby/admission.h"
#include "server/lobby/ban_list.h"
#include "server/lobby/handler_clock.h"
#include "server/lobby/lobby_status.h"
#include "server/lobby/message_sender.h"
#include "server/lobby/registry_changes.h"
#include "server/lobby/save_scheduler.h"

namespace lobby {

class TForm1;
class RequestHandler;
class PacedWork;

// What the operator's console asked for cannot be done; the message says why, for the
// operator. Raised before anything changed.
class ConsoleRefusal : public Exception {
public:
    using Exception::Exception;
};

// What the console shows of the lobby: its figures, copied out.
struct LobbyFigures {
    using Held = decltype(std::declval<const FloodGuard&>().HeldSinceStart());

    std::size_t online = 0;
    int registered = 0;
    TrafficCounters counters;
    Held held;                      // held back by the flood guard, by kind
    std::uint64_t guardDropped = 0; // requests the flood guard dropped
    std::string logPath;            // the day's traffic log
    std::size_t bans = 0;
};

// A player online, as the console lists it.
struct PlayerOnline {
    std::string nick;
    std::string address;
    std::string flag;
    bool pinged = false;                     // pinged, with no request since
    std::optional<std::int64_t> idleSeconds; // since its last request; none since start-up
};

// A row of the ranking, as the console lists it.
struct RankedPlayer {
    int rank = 0;
    std::string nick;
    std::string score;
    bool online = false;
};

// The rows whose score is no integer, which stop the rankings: how many, and the first few.
struct RankingStops {
    struct Row {
        int row = 0;
        std::string nick;
        std::string score;
    };
    std::size_t count = 0;
    std::vector<Row> first;
};

// The operator's console's way into the lobby: what it shows, asked for here, and what it
// does. Each change runs as a handler of its own and goes the way a player's request would,
// and its line in the traffic log says the console did it ("console: time kick|ana"). A nick
// is found as a login finds it, a-z in either case. What cannot be done raises
// ConsoleRefusal saying why, before anything changed.
class ConsoleOperations {
public:
    using SaveDone = SaveScheduler::SaveDone;
    struct Rooms {
        MessageSender& sender;
        Admission& door;
        RegistryChanges& changes;
        SaveScheduler& saves;
        RequestHandler& requests;
        PacedWork& pacing;
        const LobbyStatus& status;
        HandlerClock& clock;
    };

    ConsoleOperations(TForm1& form, Rooms rooms) : form_(form), rooms_(rooms) {}

    LobbyFigures Figures() const;
    const TrafficCounters& Counters() const { return rooms_.status.Counters(); }
    std::vector<PlayerOnline> PlayersOnline() const;
    // The first count rows of the ranking (fewer when fewer are registered).
    std::vector<RankedPlayer> Ranking(int count) const;
    // Nothing while the rankings run; else the rows that stop them, the first listed of them.
    std::optional<RankingStops> StoppedRankings(std::size_t listed) const;
    // The nick as it was registered (letter case and all); empty when no player has it.
    std::string RegisteredNick(std::string_view nick) const;
    const std::vector<BanEntry>& Bans() const { return rooms_.door.Bans().Entries(); }
    const SaveRecord& LastSave() const { return rooms_.saves.LastSave(); }

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
    Rooms rooms_;
};

} // namespace lobby
