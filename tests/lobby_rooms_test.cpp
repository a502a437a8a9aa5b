// The form's rooms on their own, without a form around them: the door's verdicts in the order
// it asks, and the error box's allowance.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/lobby/admission.h"
#include "server/lobby/error_box.h"
#include "server/registry/registry_file.h"
#include "support/memory_data_folder.h"
#include "support/recording_notifier.h"
#include "support/stepping_clocks.h"

namespace {

using namespace lobby;
using Verdict = Admission::Verdict;

struct Door {
    explicit Door(FloodLimits limits, std::int32_t capacity = 0)
        : door(table, errors, status, clock, limits, capacity, "bans.txt")
    {
        table.LoadFromText(",Nick,Senha,Ip,Pontos,\r\n,ana,pw,10.0.0.1,5,\r\n");
    }
    // The verdict on one datagram from address, and the row its nick was found in.
    Verdict Admit(const std::string& address, const std::string& bytes, int* nickRow = nullptr)
    {
        const std::optional<RequestFields> request = SplitRequest(bytes);
        const RequestSource source{address, door.Guard().KeyOf(address)};
        int row = -1;
        const Verdict verdict = door.Admit(source, request, bytes, row);
        if (nickRow)
            *nickRow = row;
        return verdict;
    }
    void Ban(const std::string& value)
    {
        std::string problem;
        BanList bans = door.Bans();
        bans.Add(*BanList::Parse("", value, problem));
        door.SetBans(bans);
    }

    test_support::SteppingMonotonicClock monotonic;
    HandlerClock clock{&monotonic};
    test_support::RecordingNotifier notifier;
    ErrorBox errors{notifier, "lobby-server"};
    Registry table;
    test_support::SteppingClock wallClock;
    RegionalSettings regional{"%d/%m/%Y", "%H:%M:%S", "", "", ""};
    test_support::MemoryDataFolder files;
    TrafficLog log{wallClock, regional, files, [](const std::string&) {}};
    LobbyStatus status{table, log, clock};
    Admission door;
};

TEST(Admission, AsksTheBansTheRateTheAllowancesAndTheCapacityInThatOrder)
{
    struct Case {
        const char* name;
        FloodLimits limits;
        std::int32_t capacity;
        std::function<void(Door&)> before; // what came before the request under test
        std::string from;
        std::string request;
        Verdict verdict;
        int nickRow;                 // -1: not looked up (dropped before the table is asked)
        std::uint64_t dropped;       // counted since start-up, the request under test included
        std::uint64_t banned;
    };
    FloodLimits slowLobby;
    slowLobby.lobbyRegistrationsPerSecond = 1; // ten at once, then one a second
    FloodLimits oneASecond;
    oneASecond.requestsPerSecond = 1; // two at once
    const auto tenNewNicks = [](Door& door) {
        for (int i = 0; i < 10; ++i)
            door.Admit("10.1.0." + std::to_string(i + 1), "new" + std::to_string(i) + "|pw|slc|");
    };
    const std::vector<Case> cases = {
        {"a known nick is served, its row found", {}, 0, nullptr, "10.0.0.9", "ana|pw|slc|", Verdict::kServe, 1, 0, 0},
        {"a new nick within the allowances", {}, 0, nullptr, "10.0.0.9", "bob|pw|slc|", Verdict::kServe, 0, 0, 0},
        {"no nick and password: served, to be logged", {}, 0, nullptr, "10.0.0.9", "garbage", Verdict::kServe, 0, 0, 0},
        {"a banned address, before anything", {}, 0, [](Door& d) { d.Ban("10.0.0.0/8"); }, "10.0.0.9", "ana|pw|slc|",
         Verdict::kDrop, -1, 1, 1},
        {"a banned nick, from anywhere", {}, 0, [](Door& d) { d.Ban("ANA"); }, "192.0.2.1", "ana|pw|msg|hi",
         Verdict::kDrop, -1, 1, 1},
        {"over the source's rate", oneASecond, 0,
         [](Door& d) {
             d.Admit("10.0.0.9", "ana|pw|msg|1");
             d.Admit("10.0.0.9", "ana|pw|msg|2");
         },
         "10.0.0.9", "ana|pw|msg|3", Verdict::kDrop, -1, 1, 0},
        {"a new nick over the lobby's allowance waits", slowLobby, 0, tenNewNicks, "10.2.0.1", "late|pw|slc|",
         Verdict::kWait, 0, 0, 0},
        {"a login passes the lobby's allowance", slowLobby, 0, tenNewNicks, "10.2.0.1", "ana|pw|slc|", Verdict::kServe,
         1, 0, 0},
        {"a nick the file cannot keep takes no allowance", slowLobby, 0, tenNewNicks, "10.2.0.1", "a,b|pw|slc|",
         Verdict::kServe, 0, 0, 0},
        {"a full registry takes no allowance", slowLobby, 1, tenNewNicks, "10.2.0.1", "late|pw|slc|", Verdict::kServe,
         0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Door door(c.limits, c.capacity);
        if (c.before)
            c.before(door);
        const std::uint64_t droppedBefore = c.before ? door.status.Counters().dropped : 0;
        int nickRow = -1;
        EXPECT_EQ(door.Admit(c.from, c.request, &nickRow), c.verdict);
        EXPECT_EQ(nickRow, c.nickRow);
        EXPECT_EQ(door.status.Counters().dropped - droppedBefore, c.dropped);
        EXPECT_EQ(door.status.Counters().banned, c.banned);
    }
}

TEST(ErrorBox, ShowsAMinutesAllowanceOneByOneButNeverHoldsBackALostSave)
{
    test_support::RecordingNotifier notifier;
    ErrorBox box(notifier, "LOBBY-SERVER.EXE");
    const auto fail = [&](auto error) { box.ShowHandlerFailure(std::make_exception_ptr(error)); };
    for (int i = 1; i <= ErrorBox::kErrorsShownPerMinute + 2; ++i)
        fail(Exception("error " + std::to_string(i)));
    fail(RegistrySaveError("Stream write error"));
    ASSERT_EQ(notifier.errors.size(), static_cast<std::size_t>(ErrorBox::kErrorsShownPerMinute) + 1);
    EXPECT_EQ(notifier.errors.front().caption, "Lobby-server");
    EXPECT_EQ(notifier.errors.back().text, "Stream write error.");
    EXPECT_TRUE(notifier.notices.empty());

    box.ReportHeldErrors(); // the minute tick
    ASSERT_EQ(notifier.notices.size(), 1u);
    EXPECT_EQ(notifier.notices[0].text, "2 more errors in the last minute not shown one by one; the last: error 12");
    fail(Exception("next minute"));
    EXPECT_EQ(notifier.errors.back().text, "next minute.");
    box.ReportHeldErrors();
    EXPECT_EQ(notifier.notices.size(), 1u); // nothing held, nothing told
}

} // namespace
