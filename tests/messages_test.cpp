// The sending operations: who receives a broadcast, how the player list and the ranking are
// built, and how long messages are kept within one datagram.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/lobby/messages.h"
#include "support/client_texts.h"
#include "support/form_under_test.h"

using namespace lobby;

namespace {

using namespace test_support;

const std::string kHeader = ",Nick,Senha,Ip,Pontos,,\r\n";

// A registry file line; marker ">" or "*" makes the player online once loaded.
std::string Line(const std::string& marker, const std::string& nick, const std::string& address,
                 const std::string& score, const std::string& flag)
{
    return marker + "," + nick + ",pw," + address + "," + score + "," + flag + ",\r\n";
}

// The operations as they are, with the flood guard's rules on sending off: with them on, an
// address holding several online rows gets one copy (flood_protection_test.cpp).
class MessagesTest : public testing::Test {
protected:
    FormUnderTest lobby{[](FormEnvironment& environment) { environment.floodLimits.silentSendKilobytesPerSecond = 0; }};

    // ana and cy online at dotted addresses, bob between them at a name: a send to him waits
    // for a lookup, which lets other events run.
    void LoadPlayersOneOfThemByName()
    {
        lobby.LoadRegistryFile(kHeader + Line(">", "ana", "10.0.0.1", "3", "+") +
                               Line(">", "bob", "bob.example", "2", "-") + Line(">", "cy", "10.0.0.3", "1", "+"));
    }
};

TEST_F(MessagesTest, BroadcastReachesOnlineRowsInRowOrder)
{
    lobby.LoadRegistryFile(kHeader + Line(">", "ana", "10.0.0.1", "120", "+") + Line("", "bob", "10.0.0.2", "7", "-") +
                           Line("*", "cy", "10.0.0.3", "5", "+") + // pinged: still online
                           Line(">", "dee", "", "2", "-") +        // online, nowhere to send
                           Line(">", "eve", "10.0.0.1", "1", "-")); // ana's address again

    lobby.form->Broadcast("hello");
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.1", "hello"}, SentDatagram{"10.0.0.3", "hello"},
                                              SentDatagram{"10.0.0.1", "hello"}));
    EXPECT_EQ(lobby.LogText(), "> 10:20:30 para: 10.0.0.1 hello\r\n"
                               "> 10:20:30 para: 10.0.0.3 hello\r\n"
                               "> 10:20:30 para: 10.0.0.1 hello\r\n");

    // The list names every online row, the address-less one too; the ranking every row.
    lobby.form->SendPlayerList();
    lobby.form->SendRanking();
    const std::string list = PlayerList({"+ana", "+cy", "-dee", "-eve"});
    const std::string ranking = Ranking({"ana - 120", "bob - 7", "cy - 5", "dee - 2", "eve - 1"});
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.1", list}, SentDatagram{"10.0.0.3", list},
                                              SentDatagram{"10.0.0.1", list}, SentDatagram{"10.0.0.1", ranking},
                                              SentDatagram{"10.0.0.3", ranking}, SentDatagram{"10.0.0.1", ranking}));
    EXPECT_EQ(list, "lsj|+ana|+cy|-dee|-eve|...");
    EXPECT_EQ(ranking, "ttn|ana - 120|bob - 7|cy - 5|dee - 2|eve - 1|...");
}

// A request's lines and datagrams are handed over together, but a host name's lookup, which
// lets other events run, first sees everything before it logged and sent, as if each message
// had gone on its own; the recipients after it follow in one more batch.
TEST_F(MessagesTest, ALookupInTheMiddleOfABroadcastFindsEverythingBeforeItLoggedAndSent)
{
    LoadPlayersOneOfThemByName();
    std::vector<std::string> logAtLookup;
    std::vector<SentDatagram> sentAtLookup;
    lobby.endpoint->failBeforeSend = [&](const std::string& host, const std::string& bytes) {
        if (host == "bob.example" && !bytes.empty()) {
            logAtLookup = lobby.LogLines();
            sentAtLookup = lobby.endpoint->sent;
        }
    };
    const int batchesBefore = lobby.endpoint->batches;
    ASSERT_TRUE(lobby.Receive("10.0.0.1", "ana|pw|msg|oi"));
    const std::string chat = Chat("ana", "oi");
    EXPECT_THAT(sentAtLookup, ElementsAre(SentDatagram{"10.0.0.1", chat}));
    EXPECT_THAT(logAtLookup, ElementsAre("10.0.0.1: 10:20:30 ana|pw|msg|oi", "> 10:20:30 para: 10.0.0.1 " + chat,
                                         "> 10:20:30 para: bob.example " + chat));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.1", chat}, SentDatagram{"bob.example", chat},
                                              SentDatagram{"10.0.0.3", chat}));
    EXPECT_EQ(lobby.LogLines().back(), "> 10:20:30 para: 10.0.0.3 " + chat);
    EXPECT_EQ(lobby.endpoint->batches - batchesBefore, 2);

    // Without a name among the recipients, the whole broadcast is one batch.
    lobby.form->Cad.SetCell(Registry::kMarker, 2, "");
    ASSERT_TRUE(lobby.Receive("10.0.0.1", "ana|pw|msg|de novo"));
    EXPECT_EQ(lobby.TakeSent().size(), 2u);
    EXPECT_EQ(lobby.endpoint->batches - batchesBefore, 3);
}

// Requests taken together hand their lines and datagrams over together, in the order each
// would have had alone: a lookup in one of them first sees everything before it logged and
// sent, and a request nested in the lookup has its output out before the lookup's send.
TEST_F(MessagesTest, RequestsTakenTogetherKeepTheOrderOfRequestsHandledOneByOne)
{
    LoadPlayersOneOfThemByName();
    std::vector<std::string> logAtLookup;
    std::vector<SentDatagram> sentAtLookup;
    lobby.endpoint->failBeforeSend = [&](const std::string& host, const std::string& bytes) {
        if (host != "bob.example" || bytes.empty() || !logAtLookup.empty())
            return;
        logAtLookup = lobby.LogLines();
        sentAtLookup = lobby.endpoint->sent;
        lobby.ReceiveTogether({{"10.0.0.3", "cy|pw|pvt|ana|2"}});
    };
    const int batchesBefore = lobby.endpoint->batches;
    lobby.ReceiveTogether({{"10.0.0.1", "ana|pw|pvt|cy|1"}, {"10.0.0.1", "ana|pw|pvt|bob|b"}, {"10.0.0.1", "ana|pw|pvt|cy|3"}});

    const auto toCy = [](const std::string& text) { return SentDatagram{"10.0.0.3", Private("ana", text)}; };
    EXPECT_THAT(sentAtLookup, ElementsAre(toCy("1")));
    EXPECT_THAT(logAtLookup, ElementsAre("10.0.0.1: 10:20:30 ana|pw|pvt|cy|1", "> 10:20:30 para: 10.0.0.3 " + Private("ana", "1"),
                                         "10.0.0.1: 10:20:30 ana|pw|pvt|bob|b",
                                         "> 10:20:30 para: bob.example " + Private("ana", "b")));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(toCy("1"), SentDatagram{"10.0.0.1", Private("cy", "2")},
                                              SentDatagram{"bob.example", Private("ana", "b")}, toCy("3")));
    const std::vector<std::string> log = lobby.LogLines();
    EXPECT_THAT(std::vector<std::string>(log.end() - 4, log.end()),
                ElementsAre("10.0.0.3: 10:20:30 cy|pw|pvt|ana|2", "> 10:20:30 para: 10.0.0.1 " + Private("cy", "2"),
                            "10.0.0.1: 10:20:30 ana|pw|pvt|cy|3", "> 10:20:30 para: 10.0.0.3 " + Private("ana", "3")));
    // Before the lookup, the nested request's, and the rest of the batch: one hand-over each.
    EXPECT_EQ(lobby.endpoint->batches - batchesBefore, 3);

    // Without a lookup, the requests of a batch go in one hand-over, a failed one's included.
    lobby.ReceiveTogether({{"10.0.0.1", "ana|pw|pvt|cy|4"}, {"10.0.0.3", "cy|pw|scj|x"}, {"10.0.0.3", "cy|pw|pvt|ana|5"}});
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(toCy("4"), SentDatagram{"10.0.0.1", Private("cy", "5")}));
    EXPECT_EQ(lobby.endpoint->batches - batchesBefore, 4);
}

TEST_F(MessagesTest, NobodyOnlineMeansNothingSentAndNothingLogged)
{
    lobby.form->Broadcast("hello");
    lobby.form->SendPlayerList();
    lobby.form->SendRanking();
    lobby.LoadRegistryFile(kHeader + Line("", "ana", "10.0.0.1", "1", "+"));
    lobby.form->SendRanking();
    lobby.form->SendMessageTo("", "nowhere");
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    EXPECT_EQ(lobby.LogText(), "");
}

TEST_F(MessagesTest, MessageIsCutToOneDatagram)
{
    const std::string fits(2048, 'a');
    lobby.form->SendMessageTo("10.0.0.1", fits);
    lobby.form->SendMessageTo("10.0.0.1", fits + "b");
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.1", fits}, SentDatagram{"10.0.0.1", fits}));
    EXPECT_EQ(lobby.LogText(), "> 10:20:30 para: 10.0.0.1 " + fits + "\r\n> 10:20:30 para: 10.0.0.1 " + fits + "\r\n");
}

TEST_F(MessagesTest, ListEntryIsAppendedOnlyWhenItAndTheEndMarkFit)
{
    std::string list(2040, 'x');
    EXPECT_FALSE(messages::AppendListEntry(list, "123456"));
    EXPECT_EQ(list.size(), 2040u);
    EXPECT_TRUE(messages::AppendListEntry(list, "12345"));
    EXPECT_EQ(list.size(), 2045u); // 2048 with the "..."
    EXPECT_FALSE(messages::AppendListEntry(list, "1"));
}

TEST_F(MessagesTest, RankingNamesTheFirstNineRowsOnlineOrNot)
{
    std::string file = kHeader;
    for (int i = 1; i <= 12; ++i)
        file += Line(i == 12 ? ">" : "", "p" + std::to_string(i), "10.0.0." + std::to_string(i), std::to_string(100 - i), "-");
    lobby.LoadRegistryFile(file);
    lobby.form->SendRanking();
    EXPECT_THAT(lobby.TakeSent(),
                ElementsAre(SentDatagram{"10.0.0.12", Ranking({"p1 - 99", "p2 - 98", "p3 - 97", "p4 - 96", "p5 - 95",
                                                               "p6 - 94", "p7 - 93", "p8 - 92", "p9 - 91"})}));
}

TEST_F(MessagesTest, LongPlayerListEndsAfterTheLastWholeEntryThatFits)
{
    // 13 entries of 157 bytes fill a datagram exactly: 4 + 13 * 157 + 3 = 2048.
    std::string file = kHeader;
    std::vector<std::string> entries;
    for (int i = 0; i < 14; ++i) {
        const std::string nick = std::string(1, static_cast<char>('A' + i)) + std::string(154, 'n');
        file += Line(">", nick, "10.0.0.1", "0", "+");
        entries.push_back("+" + nick);
    }
    lobby.LoadRegistryFile(file);
    lobby.form->SendPlayerList();
    std::vector<SentDatagram> sent = lobby.TakeSent();
    ASSERT_EQ(sent.size(), 14u);
    EXPECT_EQ(sent[0].bytes, PlayerList({entries.begin(), entries.begin() + 13}));
    EXPECT_EQ(sent[0].bytes.size(), 2048u);

    // An entry that does not fit ends the list: a shorter one after it does not slip in.
    file = kHeader;
    entries.clear();
    for (int i = 0; i < 12; ++i) {
        const std::string nick = std::string(1, static_cast<char>('A' + i)) + std::string(154, 'n');
        file += Line(">", nick, "10.0.0.1", "0", "+");
        entries.push_back("+" + nick);
    }
    file += Line(">", std::string(400, 'L'), "10.0.0.1", "0", "+") + Line(">", "z", "10.0.0.1", "0", "-");
    lobby.LoadRegistryFile(file);
    lobby.form->SendPlayerList();
    sent = lobby.TakeSent();
    ASSERT_EQ(sent.size(), 14u);
    EXPECT_EQ(sent[0].bytes, PlayerList(entries));
}

TEST_F(MessagesTest, LongRankingEndsAfterTheLastWholeEntryThatFits)
{
    // Six entries of 300 bytes, then one of 241 bytes fills the datagram exactly; at 242 bytes
    // it no longer fits and the list ends after the sixth.
    for (const std::size_t seventh : {241u, 242u}) {
        SCOPED_TRACE(seventh);
        std::string file = kHeader;
        std::vector<std::string> entries;
        for (int i = 0; i < 7; ++i) {
            const std::size_t nickSize = (i < 6 ? 300 : seventh) - std::string(" - 0|").size();
            const std::string nick = std::string(1, static_cast<char>('A' + i)) + std::string(nickSize - 1, 'r');
            file += Line(i == 0 ? ">" : "", nick, "10.0.0.1", "0", "+");
            entries.push_back(nick + " - 0");
        }
        file += Line("", "z", "10.0.0.2", "0", "+") + Line("", "y", "10.0.0.3", "0", "+");
        lobby.LoadRegistryFile(file);
        lobby.form->SendRanking();
        const std::vector<SentDatagram> sent = lobby.TakeSent();
        ASSERT_EQ(sent.size(), 1u);
        if (seventh == 241) {
            EXPECT_EQ(sent[0].bytes, Ranking(entries));
            EXPECT_EQ(sent[0].bytes.size(), 2048u);
        } else {
            EXPECT_EQ(sent[0].bytes, Ranking({entries.begin(), entries.begin() + 6}));
        }
    }
}

} // namespace
