// What bounds the lobby's work by time rather than by the rate of requests, with the clock
// stepped: player lists and rankings merged once a burst of them has gone out, the lobby's
// output shared fairly between sources, and new nicks over the lobby's allowance waiting
// their turn.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/flood/flood_guard.h"
#include "server/lobby/snapshot_pacer.h"
#include "support/client_texts.h"
#include "support/form_under_test.h"

using namespace lobby;

namespace {

using namespace test_support;

std::string Address(int i)
{
    return "10.0.0." + std::to_string(i);
}

TEST(LobbyPacing, ListsAndRankingsMergeOnceABurstHasGoneOutAndTheJoinerKeepsItsSequence)
{
    FormUnderTest lobby; // 100 ms, bursts of 8
    std::vector<std::string> list, ranking;
    for (int i = 1; i <= 8; ++i) { // eight joins at once: every list and ranking goes out as always
        lobby.Receive(Address(i), "p" + std::to_string(i) + "|pw|slc|");
        EXPECT_EQ(lobby.TakeSent().size(), 3u + 2 * i) << "join " << i;
        list.push_back("+p" + std::to_string(i));
        ranking.push_back("p" + std::to_string(i) + " - 0");
    }
    // The ninth: its own answers in their order, lists included; the others wait.
    list.push_back("+p9");
    ranking.push_back("p9 - 0");
    lobby.Receive(Address(9), "p9|pw|slc|");
    EXPECT_THAT(lobby.TakeSent(),
                ElementsAre(SentDatagram{Address(9), kWelcome}, SentDatagram{Address(9), OwnScore("0")},
                            SentDatagram{Address(9), PlayerList(list)}, SentDatagram{Address(9), Ranking(ranking)},
                            SentDatagram{Address(9), kConnected}));
    lobby.monotonic.nowMs += 99;
    lobby.form->Pacing().Timer2Timer();
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    // At the interval's end one list and one ranking for everybody but the joiner, who has them.
    lobby.monotonic.nowMs += 1;
    lobby.form->Pacing().Timer2Timer();
    const std::vector<SentDatagram> merged = lobby.TakeSent();
    ASSERT_EQ(merged.size(), 16u);
    EXPECT_EQ(merged[0], (SentDatagram{Address(1), PlayerList(list)}));
    EXPECT_EQ(merged[15], (SentDatagram{Address(8), Ranking(ranking)}));

    // Changes within the next interval are merged too, the last state winning; a requester
    // whose copy is out of date by then gets the new one.
    lobby.Receive(Address(1), "p1|pw|fc-|");
    lobby.Receive(Address(2), "p2|pw|fc-|");
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{Address(1), PlayerList({"-p1", "+p2", "+p3", "+p4", "+p5", "+p6", "+p7", "+p8", "+p9"})},
                                              SentDatagram{Address(2), PlayerList({"-p1", "-p2", "+p3", "+p4", "+p5", "+p6", "+p7", "+p8", "+p9"})}));
    lobby.monotonic.nowMs += 100;
    lobby.form->Pacing().Timer2Timer();
    const std::vector<std::string> toFirst = lobby.SentTo(Address(1));
    EXPECT_THAT(toFirst, ElementsAre(PlayerList({"-p1", "-p2", "+p3", "+p4", "+p5", "+p6", "+p7", "+p8", "+p9"})));
    EXPECT_THAT(lobby.SentTo(Address(2)), IsEmpty());
    EXPECT_EQ(lobby.TakeSent().size(), 8u);

    // A quiet spell refills the burst: the next change goes out at once, as it always did.
    lobby.monotonic.nowMs += 800;
    lobby.Receive(Address(3), "p3|pw|fc-|");
    EXPECT_EQ(lobby.TakeSent().size(), 9u);
}

TEST(LobbyPacing, BigLobbiesGetLongerIntervalsAndShorterBursts)
{
    SnapshotPacer pacer(100); // a datagram per player: at most 20,000 a second, 16,000 at once
    EXPECT_EQ(pacer.IntervalMs(2000), 100);
    EXPECT_EQ(pacer.IntervalMs(10000), 500);
    EXPECT_TRUE(pacer.TakeNow(SnapshotPacer::kRanking, 0, 10000));
    EXPECT_FALSE(pacer.TakeNow(SnapshotPacer::kRanking, 0, 10000));
    EXPECT_EQ(pacer.NextDueMs(), 200); // the burst is 800 ms of credit: 1.6 of these intervals
    EXPECT_FALSE(pacer.TakeDue(SnapshotPacer::kRanking, 199, 10000));
    EXPECT_TRUE(pacer.TakeDue(SnapshotPacer::kRanking, 200, 10000));
    EXPECT_FALSE(pacer.TakeNow(SnapshotPacer::kRanking, 699, 10000));
    EXPECT_TRUE(pacer.TakeDue(SnapshotPacer::kRanking, 700, 10000));
    EXPECT_EQ(SnapshotPacer(0).IntervalMs(1000000), 0);
}

// Five sources share a lobby limited to 50,000 datagrams a second, each request costing
// 1,000 (a chat line to a lobby of a thousand): a player chatting five times a second, and
// four flooders asking every millisecond.
TEST(LobbyPacing, TheLobbysOutputIsSharedFairlyAndAPlayerAtFiveASecondIsNeverSlowed)
{
    FloodGuard guard(FloodLimits{.requestsPerSecond = 0, .registrationsPerHour = 0, .silentSendKilobytesPerSecond = 0,
                                 .maxAddresses = 100, .lobbyDatagramsPerSecond = 50000});
    int player = 0;
    std::vector<int> flooders(4);
    const auto ask = [&](const std::string& source, std::int64_t nowMs) {
        if (!guard.AdmitRequest(source, nowMs))
            return false;
        guard.ChargeOutput(SourceKey(source), 1000, nowMs);
        return true;
    };
    for (std::int64_t now = 0; now < 20'000; ++now) {
        const bool counted = now >= 10'000; // the second half, long settled
        if (now % 200 == 0)
            player += ask("10.0.0.1", now) && counted ? 1 : 0;
        for (std::size_t f = 0; f < flooders.size(); ++f)
            flooders[f] += ask(Address(2 + static_cast<int>(f)), now) && counted ? 1 : 0;
    }
    EXPECT_EQ(player, 50);
    for (const int admitted : flooders) { // about (50,000 - 5,000) / 4 a second each
        EXPECT_GE(admitted, 100);
        EXPECT_LE(admitted, 135);
    }
    EXPECT_THAT(*guard.TakeSummary(20'000),
                HasSubstr("requests dropped (over their source's share of the lobby's 50000 datagrams/s)"));
}

// The same in a lobby: what each request sent is charged to its source.
TEST(LobbyPacing, ChatFloodsAreHeldToTheirShareWhileAPlayerChatsOn)
{
    FormUnderTest lobby([](FormEnvironment& environment) { environment.floodLimits.lobbyDatagramsPerSecond = 600; });
    for (int i = 1; i <= 50; ++i)
        lobby.Receive(Address(i), "p" + std::to_string(i) + "|pw|zzz|");
    lobby.monotonic.nowMs += 60'000;
    lobby.TakeSent();
    int player = 0, flooders = 0;
    for (int ms = 0; ms < 10'000; ms += 20) { // the flooders at 50 lines a second each, 2,500 datagrams
        lobby.monotonic.nowMs += 20;
        flooders += lobby.Receive(Address(2), "p2|pw|msg|flood") && !lobby.TakeSent().empty() ? 1 : 0;
        flooders += lobby.Receive(Address(3), "p3|pw|msg|flood") && !lobby.TakeSent().empty() ? 1 : 0;
        if (ms % 1000 == 0) // a line a second: 50 datagrams
            player += lobby.Receive(Address(1), "p1|pw|msg|oi") && !lobby.TakeSent().empty() ? 1 : 0;
    }
    EXPECT_EQ(player, 10);
    EXPECT_GE(flooders, 90); // about (600 - 50) / 50 lines a second between them, over 10 s
    EXPECT_LE(flooders, 130);
}

TEST(LobbyPacing, NewNicksOverTheLobbysAllowanceWaitTheirTurnNewcomersFirst)
{
    FormUnderTest lobby([](FormEnvironment& environment) { environment.floodLimits.lobbyRegistrationsPerSecond = 1; });
    for (int i = 1; i <= 10; ++i) // ten seconds' worth at once
        lobby.Receive(Address(i), "n" + std::to_string(i) + "|pw|zzz|");
    EXPECT_EQ(lobby.TakeSent().size(), 10u);
    const std::size_t logged = lobby.LogLines().size();

    // Over it: neither logged nor answered yet. An address that registered already comes last.
    lobby.Receive(Address(1), "again|pw|zzz|");
    lobby.Receive("10.0.1.1", "first|pw|zzz|");
    lobby.Receive("10.0.1.2", "second|pw|slc|");
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    EXPECT_EQ(lobby.LogLines().size(), logged);
    EXPECT_EQ(lobby.RowOf("first"), 0);
    for (const char* expected : {"first", "second", "again"}) {
        lobby.monotonic.nowMs += 999;
        lobby.form->Pacing().Timer2Timer();
        EXPECT_THAT(lobby.TakeSent(), IsEmpty());
        lobby.monotonic.nowMs += 1;
        lobby.form->Pacing().Timer2Timer();
        EXPECT_NE(lobby.RowOf(expected), 0) << expected;
        EXPECT_FALSE(lobby.TakeSent().empty()) << expected;
    }
    const std::vector<std::string> lines = lobby.LogLines();
    EXPECT_TRUE(lines[logged].ends_with(" first|pw|zzz|")) << lines[logged]; // logged when served

    // Two served together from one address are two requests: each is welcomed.
    lobby.Receive("10.0.3.1", "twin1|pw|zzz|");
    lobby.Receive("10.0.3.1", "twin2|pw|zzz|");
    lobby.monotonic.nowMs += 2000;
    lobby.form->Pacing().Timer2Timer();
    EXPECT_THAT(lobby.SentTo("10.0.3.1"), ElementsAre(kWelcome, kWelcome));
    lobby.TakeSent();

    // A client asking twice while it waits registers once, and is logged in by the second.
    lobby.Receive("10.0.4.1", "twice|pw|slc|");
    lobby.Receive("10.0.4.1", "twice|pw|slc|");
    lobby.monotonic.nowMs += 1000;
    lobby.form->Pacing().Timer2Timer();
    EXPECT_EQ(lobby.SentTo("10.0.4.1").front(), kWelcome);
    EXPECT_EQ(lobby.SentTo("10.0.4.1").size(), 5u + 4u); // the join, then the second join's own four
    lobby.TakeSent();

    // At most fifteen seconds' worth wait: the last of sixteen is dropped, and the operator told.
    for (int i = 0; i < 16; ++i)
        lobby.Receive("10.0.2." + std::to_string(i), "w" + std::to_string(i) + "|pw|zzz|");
    ASSERT_TRUE(lobby.Tick());
    ASSERT_EQ(lobby.notifier.notices.size(), 1u);
    EXPECT_THAT(lobby.notifier.notices[0].text, HasSubstr("1 new nick dropped after waiting (over the lobby's 1/s)"));
    EXPECT_THAT(lobby.notifier.notices[0].text, HasSubstr("10.0.2.15 (1 new nick not served)"));
}

} // namespace
