// The presence check, one timer tick at a time: pings on the first of every five ticks,
// drops of the silent on the fifth, and what a failed send in the middle leaves behind.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "net/udp_sock_error.h"
#include "support/client_texts.h"
#include "support/form_under_test.h"

using namespace lobby;

namespace {

using namespace test_support;

class PresenceTest : public testing::Test {
protected:
    std::string Marker(const std::string& nick) const { return lobby.CellOf(nick, Registry::kMarker); }

    FormUnderTest lobby;
};

TEST_F(PresenceTest, PingsOnTheFirstTickDropsOnTheFifthAndStartsAgain)
{
    lobby.JoinLastOffline({"ana", "bob", "cy"});

    EXPECT_TRUE(lobby.Tick()); // minute 1
    EXPECT_EQ(lobby.form->TickCount, 1);
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", kPing}, SentDatagram{"10.0.0.6", kPing}));
    EXPECT_EQ(Marker("ana"), "*");
    EXPECT_EQ(Marker("bob"), "*");
    EXPECT_EQ(Marker("cy"), "");
    EXPECT_EQ(lobby.LogLines().back(), "> 10:20:30 para: 10.0.0.6 png|");

    // Pinged players still receive broadcasts; any request answers the ping.
    ASSERT_TRUE(lobby.Receive("10.0.0.5", "ANA|pw|zzz"));
    EXPECT_EQ(Marker("ana"), ">");
    for (int minute = 2; minute <= 4; ++minute) {
        EXPECT_TRUE(lobby.Tick());
        EXPECT_EQ(lobby.form->TickCount, minute);
    }
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    EXPECT_EQ(Marker("bob"), "*");

    EXPECT_TRUE(lobby.Tick()); // minute 5: bob never answered
    EXPECT_EQ(lobby.form->TickCount, 0);
    EXPECT_EQ(Marker("bob"), "");
    EXPECT_EQ(Marker("ana"), ">");
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", PlayerList({"+ana"})}));

    EXPECT_TRUE(lobby.Tick()); // minute 6: the next ping
    EXPECT_EQ(lobby.form->TickCount, 1);
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", kPing}));
    for (int minute = 7; minute <= 10; ++minute)
        EXPECT_TRUE(lobby.Tick());
    EXPECT_EQ(Marker("ana"), ""); // silent since minute 6
    EXPECT_THAT(lobby.TakeSent(), IsEmpty()); // nobody left to tell
    EXPECT_THAT(lobby.notifier.errors, IsEmpty());
}

TEST_F(PresenceTest, WithNobodyOnlineTicksOnlyCount)
{
    lobby.LoadRegistryFile(",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,10.0.0.5,3,-,\r\n");
    const std::string table = lobby.form->Cad.SaveToText();
    for (int tick = 1; tick <= 11; ++tick) {
        EXPECT_TRUE(lobby.Tick());
        EXPECT_EQ(lobby.form->TickCount, tick % 5);
    }
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    EXPECT_EQ(lobby.LogText(), "");
    EXPECT_EQ(lobby.form->Cad.SaveToText(), table);
}

TEST_F(PresenceTest, PlayersWhoSpeakOrArriveAfterThePingSurviveTheDrop)
{
    lobby.Join("10.0.0.5", "ana");
    lobby.Join("10.0.0.6", "bob");
    ASSERT_TRUE(lobby.Tick());
    lobby.TakeSent();

    lobby.Join("10.0.0.7", "cy");                        // registers after the ping
    ASSERT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|off|")); // leaves: not touched by the drop
    ASSERT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|fc-|")); // answers
    lobby.TakeSent();
    for (int minute = 2; minute <= 5; ++minute)
        ASSERT_TRUE(lobby.Tick());
    EXPECT_THAT(lobby.TakeSent(), IsEmpty()); // nobody dropped, so no list
    EXPECT_EQ(Marker("ana"), "");
    EXPECT_EQ(Marker("bob"), ">");
    EXPECT_EQ(Marker("cy"), ">");
}

TEST_F(PresenceTest, SilentPlayersAreDroppedOneListAtATime)
{
    lobby.Join("10.0.0.1", "stay");
    lobby.Join("10.0.0.2", "s1");
    lobby.Join("10.0.0.3", "s2");
    lobby.Join("10.0.0.4", "s3");
    ASSERT_TRUE(lobby.Tick());
    ASSERT_TRUE(lobby.Receive("10.0.0.1", "stay|pw|pong"));
    lobby.TakeSent();
    for (int minute = 2; minute <= 5; ++minute)
        ASSERT_TRUE(lobby.Tick());

    // Each list names the silent players not yet dropped, and reaches them too.
    const std::string first = PlayerList({"+stay", "+s2", "+s3"});
    const std::string second = PlayerList({"+stay", "+s3"});
    const std::string third = PlayerList({"+stay"});
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.1", first}, SentDatagram{"10.0.0.3", first},
                                              SentDatagram{"10.0.0.4", first}, SentDatagram{"10.0.0.1", second},
                                              SentDatagram{"10.0.0.4", second}, SentDatagram{"10.0.0.1", third}));
    for (const char* nick : {"s1", "s2", "s3"})
        EXPECT_EQ(Marker(nick), "") << nick;
}

TEST_F(PresenceTest, FailedSendEndsTheTickAndTheNextTickGoesOn)
{
    lobby.Join("10.0.0.1", "ana");
    lobby.Join("10.0.0.2", "bob");
    lobby.Join("10.0.0.3", "cy");
    lobby.endpoint->failBeforeSend = [](const std::string& host, const std::string&) {
        if (host == "10.0.0.2")
            throw UDPSockError("Unknown Error No. 113");
    };

    // The ping stops at bob: ana and bob are marked, cy is not and survives the drop.
    EXPECT_FALSE(lobby.Tick());
    ASSERT_EQ(lobby.notifier.errors.size(), 1u);
    EXPECT_EQ(lobby.notifier.errors[0].caption, "lobby-server");
    EXPECT_EQ(lobby.notifier.errors[0].text, "Unknown Error No. 113.");
    EXPECT_EQ(lobby.form->TickCount, 1);
    EXPECT_EQ(Marker("ana"), "*");
    EXPECT_EQ(Marker("bob"), "*");
    EXPECT_EQ(Marker("cy"), ">");
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.1", kPing}));

    for (int minute = 2; minute <= 4; ++minute)
        EXPECT_TRUE(lobby.Tick());
    // The drop: ana goes, and her list fails at bob; bob stays "*" until the next ping.
    EXPECT_FALSE(lobby.Tick());
    EXPECT_EQ(lobby.form->TickCount, 0);
    EXPECT_EQ(Marker("ana"), "");
    EXPECT_EQ(Marker("bob"), "*");
    EXPECT_EQ(Marker("cy"), ">");
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    EXPECT_EQ(lobby.notifier.errors.size(), 2u);

    lobby.endpoint->failBeforeSend = nullptr;
    EXPECT_TRUE(lobby.Tick());
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.2", kPing}, SentDatagram{"10.0.0.3", kPing}));
    for (int minute = 7; minute <= 10; ++minute)
        EXPECT_TRUE(lobby.Tick());
    EXPECT_EQ(Marker("bob"), "");
    EXPECT_EQ(Marker("cy"), "");
}

} // namespace
