// Request handling driven datagram by datagram: registration and login, every command, the
// order and addresses of the answers, and what a request that cannot be carried out leaves.
#include <csignal>
#include <string>
#include <sys/resource.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "net/udp_sock_error.h"
#include "support/client_texts.h"
#include "support/form_under_test.h"
#include "support/file_size_cap.h"

using namespace lobby;

namespace {

using namespace std::string_literals;
using namespace test_support;
using testing::StartsWith;

const std::string kHeader = ",Nick,Senha,Ip,Pontos,,\r\n";

class RequestsTest : public testing::Test {
protected:
    std::vector<std::string> ErrorTexts() const
    {
        std::vector<std::string> texts;
        for (const OperatorError& error : lobby.notifier.errors)
            texts.push_back(error.text);
        return texts;
    }

    FormUnderTest lobby;
};

TEST_F(RequestsTest, FirstSlcOfANewNickRegistersAndAnswersInOrder)
{
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|slc|"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", kWelcome},
                                              SentDatagram{"10.0.0.5", OwnScore("0")},
                                              SentDatagram{"10.0.0.5", PlayerList({"+ana"})},
                                              SentDatagram{"10.0.0.5", Ranking({"ana - 0"})},
                                              SentDatagram{"10.0.0.5", kConnected}));
    ASSERT_EQ(lobby.form->Cad.RowCount(), 2);
    EXPECT_EQ(lobby.form->Cad.FixedRows(), 1);
    for (auto [column, text] : std::vector<std::pair<Registry::Column, std::string>>{
             {Registry::kMarker, ">"}, {Registry::kNick, "ana"}, {Registry::kPassword, "pw"},
             {Registry::kAddress, "10.0.0.5"}, {Registry::kScore, "0"}, {Registry::kFlag, "+"}})
        EXPECT_EQ(lobby.form->Cad.Cell(column, 1), text) << "column " << column;

    // The next newcomer's lists reach both players, in row order, between its own answers.
    EXPECT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|slc|"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.6", kWelcome},
                                              SentDatagram{"10.0.0.6", OwnScore("0")},
                                              SentDatagram{"10.0.0.5", PlayerList({"+ana", "+bob"})},
                                              SentDatagram{"10.0.0.6", PlayerList({"+ana", "+bob"})},
                                              SentDatagram{"10.0.0.5", Ranking({"ana - 0", "bob - 0"})},
                                              SentDatagram{"10.0.0.6", Ranking({"ana - 0", "bob - 0"})},
                                              SentDatagram{"10.0.0.6", kConnected}));
    EXPECT_THAT(lobby.notifier.errors, IsEmpty());
    // Each new nick reached the file before its welcome went out.
    EXPECT_EQ(lobby.RegistryFile(), ",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,10.0.0.5,0,+,\r\n,bob,pw,10.0.0.6,0,-,\r\n");
}

TEST_F(RequestsTest, LoginIgnoresLetterCaseAndKeepsTheRegisteredRow)
{
    lobby.LoadRegistryFile(kHeader + ",Ana,Segredo,10.0.0.5,120,-,\r\n");
    ASSERT_FALSE(lobby.form->Cad.IsOnline(1)); // loaded players start offline

    // From another address: the answers go to the sender, the lists to the stored address.
    EXPECT_TRUE(lobby.Receive("10.0.0.9", "aNA|sEGREDO|slc|"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.9", OwnScore("120")},
                                              SentDatagram{"10.0.0.5", PlayerList({"+Ana"})},
                                              SentDatagram{"10.0.0.5", Ranking({"Ana - 120"})},
                                              SentDatagram{"10.0.0.9", kConnected}));
    EXPECT_EQ(lobby.form->Cad.RowCount(), 2);
    EXPECT_EQ(lobby.CellOf("Ana", Registry::kMarker), ">");
    EXPECT_EQ(lobby.CellOf("Ana", Registry::kAddress), "10.0.0.5");
    EXPECT_EQ(lobby.CellOf("Ana", Registry::kPassword), "Segredo");

    // Messages carry the nick as this request writes it.
    EXPECT_TRUE(lobby.Receive("10.0.0.9", "ANA|segredo|msg|oi"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", Chat("ANA", "oi")}));
    EXPECT_TRUE(lobby.Receive("10.0.0.9", "ana|SEGREDO|off|"));
    EXPECT_THAT(lobby.TakeSent(), IsEmpty()); // the only player left: nobody to tell
    EXPECT_EQ(lobby.CellOf("Ana", Registry::kMarker), "");
}

TEST_F(RequestsTest, WrongPasswordOnlyGetsNickTaken)
{
    lobby.JoinLastOffline({"ana", "bob"});
    const std::string table = lobby.form->Cad.SaveToText();
    const std::string file = lobby.RegistryFile();

    for (const std::string request : {"ana|PX|off|", "bob|pw2|scj|50", "ana||msg|hi", "BOB|p|slc|", "bob|pw |fc-|"}) {
        SCOPED_TRACE(request);
        EXPECT_TRUE(lobby.Receive("10.0.0.7", request));
        EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.7", kNickTaken}));
        EXPECT_EQ(lobby.form->Cad.SaveToText(), table);
        EXPECT_EQ(lobby.CellOf("ana", Registry::kMarker), ">");
        EXPECT_EQ(lobby.CellOf("bob", Registry::kMarker), ""); // not logged in by a wrong password
    }
    EXPECT_EQ(lobby.RegistryFile(), file);
}

TEST_F(RequestsTest, ChatIsRelayedWholeToEveryOnlinePlayer)
{
    lobby.JoinLastOffline({"ana", "bob", "cy"});

    EXPECT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|msg|oi|tudo bem?|ol\xE1|"));
    const std::string line = Chat("bob", "oi|tudo bem?|ol\xE1|");
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", line}, SentDatagram{"10.0.0.6", line}));

    // Line breaks, a NUL and an end-of-file mark are relayed as they are, but cannot forge or
    // cut a line of the log: each datagram is one line there, escaped.
    const std::string forged = "oi\r\n127.0.0.9: 12:00:00 admin|secret|scj|1000\0\x1a\\"s;
    EXPECT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|msg|" + forged));
    EXPECT_THAT(lobby.SentTo("10.0.0.5"), ElementsAre(Chat("bob", forged)));
    lobby.TakeSent();
    const std::vector<std::string> lines = lobby.LogLines();
    const std::string escaped = "oi\\r\\n127.0.0.9: 12:00:00 admin|secret|scj|1000\\0\\x1a\\\\";
    EXPECT_EQ(lines[lines.size() - 3], "10.0.0.6: 10:20:30 bob|pw|msg|" + escaped);
    EXPECT_EQ(lines.back(), "> 10:20:30 para: 10.0.0.6 " + Chat("bob", escaped));

    // Nothing after the command, or nothing after its separator: an empty chat line.
    for (const std::string request : {"bob|pw|msg", "bob|pw|msg|"}) {
        EXPECT_TRUE(lobby.Receive("10.0.0.6", request));
        EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", Chat("bob", "")},
                                                  SentDatagram{"10.0.0.6", Chat("bob", "")}));
    }
    // The character after the command is skipped whatever it is.
    EXPECT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|msg:x"));
    EXPECT_THAT(lobby.SentTo("10.0.0.5"), ElementsAre(Chat("bob", "x")));
    lobby.TakeSent();

    // A chat line longer than a datagram is cut to its first 2048 bytes.
    const std::string text(2037, 'x');
    const std::string request = "bob|pw|msg|" + text;
    ASSERT_EQ(request.size(), 2048u);
    EXPECT_TRUE(lobby.Receive("10.0.0.6", request));
    const std::string cut = Chat("bob", text).substr(0, 2048);
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", cut}, SentDatagram{"10.0.0.6", cut}));
    EXPECT_EQ(lobby.LogLines().back(), "> 10:20:30 para: 10.0.0.6 " + cut);
}

TEST_F(RequestsTest, PrivateLineReachesOnlyTheExactOnlineNick)
{
    lobby.JoinLastOffline({"ana", "bob", "Carl"});

    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|pvt|bob|psiu|depois"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.6", Private("ana", "psiu|depois")}));

    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|pvt|Carl|oi")); // registered, offline
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|pvt|BOB|oi"));  // online, other letter case
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|pvt|zoe|oi"));  // never registered
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|pvt|sem barra")); // target empty: nobody here
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    EXPECT_EQ(lobby.CellOf("ana", Registry::kMarker), ">");

    // Only a row with an empty nick takes a line with no target. No such nick is registered
    // any more, but a row of an old file still logs in.
    lobby.LoadRegistryFile(lobby.form->Cad.SaveToText() + ",,pw,10.0.0.8,0,-,\r\n");
    for (const char* nick : {"ana", "bob"})
        lobby.Receive("10.0.0.5", std::string(nick) + "|pw|fc+|");
    EXPECT_TRUE(lobby.Receive("10.0.0.8", "|pw|fc+|"));
    lobby.TakeSent();
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ANA|pw|pvt|sem barra"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.8", Private("ANA", "sem barra")}));

    // Cut to a datagram like any chat line.
    const std::string text(2100, 'y');
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|pvt|bob|" + text));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.6", Private("ana", text).substr(0, 2048)}));
}

TEST_F(RequestsTest, OffTakesThePlayerOfflineAndTellsTheOthers)
{
    lobby.Join("10.0.0.5", "ana");
    lobby.Join("10.0.0.6", "bob");
    lobby.Join("10.0.0.7", "cy");

    EXPECT_TRUE(lobby.Receive("10.0.0.6", "BOB|pw|off|whatever"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", LeaveNotice("BOB")},
                                              SentDatagram{"10.0.0.7", LeaveNotice("BOB")},
                                              SentDatagram{"10.0.0.5", PlayerList({"+ana", "+cy"})},
                                              SentDatagram{"10.0.0.7", PlayerList({"+ana", "+cy"})}));
    EXPECT_EQ(lobby.CellOf("bob", Registry::kMarker), "");

    // Any later request brings the player back online, the command aside.
    EXPECT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|???"));
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    EXPECT_EQ(lobby.CellOf("bob", Registry::kMarker), ">");
}

TEST_F(RequestsTest, FlagsAndUnknownCommands)
{
    lobby.Join("10.0.0.5", "ana");
    lobby.Join("10.0.0.6", "bob");

    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|fc-|"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", PlayerList({"-ana", "+bob"})},
                                              SentDatagram{"10.0.0.6", PlayerList({"-ana", "+bob"})}));
    EXPECT_EQ(lobby.CellOf("ana", Registry::kFlag), "-");
    EXPECT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|fc-"));
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|fc+"));
    EXPECT_THAT(lobby.SentTo("10.0.0.6"), ElementsAre(PlayerList({"-ana", "-bob"}), PlayerList({"+ana", "-bob"})));
    lobby.TakeSent();

    // Commands are exact and case-sensitive; anything else only logs the player in.
    for (const std::string request : {"ana|pw|FC+|", "ana|pw|sl", "ana|pw|", "ana|pw|xyz|1", "ana|pw| scj|5"}) {
        SCOPED_TRACE(request);
        EXPECT_TRUE(lobby.Receive("10.0.0.5", request));
        EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    }
    EXPECT_EQ(lobby.CellOf("ana", Registry::kFlag), "+");
    EXPECT_EQ(lobby.CellOf("ana", Registry::kScore), "0");

    // A newcomer with no command is registered, welcomed and online, with the "-" flag.
    EXPECT_TRUE(lobby.Receive("10.0.0.7", "dan|pw|"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.7", kWelcome}));
    EXPECT_EQ(lobby.CellOf("dan", Registry::kMarker), ">");
    EXPECT_EQ(lobby.CellOf("dan", Registry::kFlag), "-");
    EXPECT_THAT(lobby.notifier.errors, IsEmpty());
}

TEST_F(RequestsTest, ScoreReportAcceptsEveryIntegerForm)
{
    lobby.Join("10.0.0.5", "ana");
    const struct {
        std::string argument;
        std::string score; // after starting from 100
    } cases[] = {
        {"5", "105"},         {" 5", "105"},        {"   +7", "107"}, {"+5", "105"},
        {"-5", "95"},         {"-105", "-5"},       {"007", "107"},  {"-0", "100"},
        {"$A", "110"},        {"$a", "110"},        {"0x1F", "131"}, {"0X1f", "131"},
        {"x10", "116"},       {"X10", "116"},       {"$0000000A", "110"},
        {"$FFFFFFFF", "99"},  {"$80000000", "-2147483548"},
        {"5\0garbage"s, "105"}, // a NUL byte ends the number
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("argument '" + c.argument + "'");
        lobby.form->Cad.SetCell(Registry::kScore, 1, "100");
        EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|scj|" + c.argument));
        EXPECT_EQ(lobby.CellOf("ana", Registry::kScore), c.score);
        EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", Ranking({"ana - " + c.score})}));
        EXPECT_EQ(lobby.RegistryFile(), kHeader + ",ana,pw,10.0.0.5," + c.score + ",+,\r\n");
    }
    EXPECT_THAT(lobby.notifier.errors, IsEmpty());
}

TEST_F(RequestsTest, ScoreReportThatIsNoIntegerChangesNothingAndIsReported)
{
    lobby.Join("10.0.0.5", "ana");
    lobby.Join("10.0.0.6", "bob");
    ASSERT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|scj|100"));
    lobby.TakeSent();
    const std::string file = lobby.RegistryFile();

    const std::string arguments[] = {
        "",      "5 ",    "\t5",         "abc",        "1.5",         "5a",   "- 5",
        "+$A",   "-$A",   "$",           "0x",         "x",           "$G",   "1e3",
        "2147483648",     "-2147483649", "$100000000", "99999999999",
    };
    std::size_t reported = 0;
    for (const std::string& argument : arguments) {
        SCOPED_TRACE("argument '" + argument + "'");
        // The operator sees ten such errors a minute one by one: a new minute every ten.
        if (reported > 0 && reported % ErrorBox::kErrorsShownPerMinute == 0) {
            EXPECT_TRUE(lobby.Tick());
            lobby.TakeSent(); // the minute's pings
        }
        EXPECT_FALSE(lobby.Receive("10.0.0.5", "ana|pw|scj|" + argument));
        EXPECT_EQ(lobby.CellOf("ana", Registry::kScore), "100");
        EXPECT_THAT(lobby.TakeSent(), IsEmpty()); // no ranking
        EXPECT_EQ(lobby.RegistryFile(), file);     // no save
        ASSERT_EQ(lobby.notifier.errors.size(), ++reported);
        EXPECT_EQ(lobby.notifier.errors.back().caption, "lobby-server");
        EXPECT_EQ(lobby.notifier.errors.back().text, "'" + argument + "' is not a valid integer value.");
    }
    // Without even the separator the argument is empty.
    EXPECT_FALSE(lobby.Receive("10.0.0.5", "ana|pw|scj"));
    EXPECT_EQ(lobby.notifier.errors.back().text, "'' is not a valid integer value.");

    // The server goes on serving.
    EXPECT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|msg|ainda aqui"));
    EXPECT_EQ(lobby.TakeSent().size(), 2u);
    EXPECT_EQ(lobby.CellOf("ana", Registry::kScore), "100");
}

TEST_F(RequestsTest, ScoreReportSaturatesInsteadOfWrapping)
{
    lobby.Join("10.0.0.5", "ana");
    const struct {
        std::string start, argument, score;
    } cases[] = {
        {"2147483000", "1000", "2147483647"},
        {"2147483647", "1", "2147483647"},
        {"2147483647", "2147483647", "2147483647"},
        {"2147483647", "$FFFFFFFF", "2147483646"},
        {"-2147483000", "-1000", "-2147483648"},
        {"-2147483648", "-1", "-2147483648"},
        {"-2147483648", "$80000000", "-2147483648"},
        {"-2147483648", "2147483647", "-1"},
        {"2147483647", "-2147483648", "-1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start + " + " + c.argument);
        lobby.form->Cad.SetCell(Registry::kScore, 1, c.start);
        EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|scj|" + c.argument));
        EXPECT_EQ(lobby.CellOf("ana", Registry::kScore), c.score);
    }
    EXPECT_THAT(lobby.notifier.errors, IsEmpty());
}

TEST_F(RequestsTest, ScoreReportResortsSavesAndPublishesTheRanking)
{
    lobby.Join("10.0.0.5", "ana");
    lobby.Join("10.0.0.6", "bob");
    lobby.Join("10.0.0.7", "cy");

    EXPECT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|scj|50"));
    EXPECT_EQ(lobby.Nicks(), (std::vector<std::string>{"bob", "ana", "cy"}));
    const std::string ranking = Ranking({"bob - 50", "ana - 0", "cy - 0"});
    // Broadcast in the new row order.
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.6", ranking}, SentDatagram{"10.0.0.5", ranking},
                                              SentDatagram{"10.0.0.7", ranking}));
    EXPECT_EQ(lobby.RegistryFile(), kHeader + ",bob,pw,10.0.0.6,50,+,\r\n"
                                              ",ana,pw,10.0.0.5,0,+,\r\n"
                                              ",cy,pw,10.0.0.7,0,+,\r\n");
    EXPECT_EQ(lobby.form->Memo1.Text(), lobby.RegistryFile());

    // Equal scores keep their order; a score rising past others moves above all of them.
    EXPECT_TRUE(lobby.Receive("10.0.0.7", "cy|pw|scj|50"));
    EXPECT_EQ(lobby.Nicks(), (std::vector<std::string>{"bob", "cy", "ana"}));
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|scj|$40"));
    EXPECT_EQ(lobby.Nicks(), (std::vector<std::string>{"ana", "bob", "cy"}));
    EXPECT_EQ(lobby.RegistryFile(), kHeader + ",ana,pw,10.0.0.5,64,+,\r\n"
                                              ",bob,pw,10.0.0.6,50,+,\r\n"
                                              ",cy,pw,10.0.0.7,50,+,\r\n");
    lobby.TakeSent();

    // The online rows followed the sort: "off" reaches the others at their new rows.
    EXPECT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|off|"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", LeaveNotice("bob")},
                                              SentDatagram{"10.0.0.7", LeaveNotice("bob")},
                                              SentDatagram{"10.0.0.5", PlayerList({"+ana", "+cy"})},
                                              SentDatagram{"10.0.0.7", PlayerList({"+ana", "+cy"})}));
}

TEST_F(RequestsTest, ScoreReportMeetingABadStoredScore)
{
    // The sender's own score is no integer: it stays as it is.
    lobby.LoadRegistryFile(kHeader + ",ana,pw,10.0.0.5,abc,-,\r\n");
    EXPECT_FALSE(lobby.Receive("10.0.0.5", "ana|pw|scj|5"));
    EXPECT_EQ(lobby.CellOf("ana", Registry::kScore), "abc");
    ASSERT_EQ(lobby.notifier.errors.size(), 1u);
    EXPECT_EQ(lobby.notifier.errors[0].text,
              "a score report is not counted: row 1 (ana) has score 'abc', not a number; lobbyctl score ana POINTS mends it.");
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());

    // Another row's score fails the sort: the new score and the exchanges before the bad row
    // stay, the save and the ranking are skipped.
    const std::string file = kHeader + ",a,pw,10.0.0.1,10,-,\r\n"
                                       ",b,pw,10.0.0.2,20,-,\r\n"
                                       ",c,pw,10.0.0.3,oops,-,\r\n"
                                       ",d,pw,10.0.0.4,40,-,\r\n";
    lobby.LoadRegistryFile(file);
    EXPECT_FALSE(lobby.Receive("10.0.0.1", "a|pw|scj|5"));
    EXPECT_EQ(lobby.Nicks(), (std::vector<std::string>{"b", "a", "c", "d"}));
    EXPECT_EQ(lobby.CellOf("a", Registry::kScore), "15");
    EXPECT_EQ(lobby.notifier.errors.back().text,
              "rankings are stopped: row 3 (c) has score 'oops', not a number; lobbyctl score c POINTS mends it.");
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    // No ranking, but the points are saved all the same: a bad cell never stops saving.
    EXPECT_EQ(lobby.RegistryFile(), lobby.form->Cad.SaveToText());
    EXPECT_EQ(lobby.CellOf("a", Registry::kMarker), ">");
}

TEST_F(RequestsTest, UnstorableNickOrPasswordIsRefusedAsTaken)
{
    lobby.Join("10.0.0.5", "ana");
    const std::string table = lobby.form->Cad.SaveToText();
    const std::pair<std::string, std::string> cases[] = {
        {"a,b", "pw"}, {"a\rb", "pw"}, {"a\nb", "pw"}, {"a\0b"s, "pw"}, {",", ""},
        {"zoe", "p,w"}, {"zoe", "p\rw"}, {"zoe", "p\nw"}, {"zoe", "p\0w"s}, {"zoe", "\r\n"},
        {"", ""}, {"", "pw"}, // an empty nick names nobody
    };
    for (const auto& [nick, password] : cases) {
        SCOPED_TRACE(testing::PrintToString(nick) + " / " + testing::PrintToString(password));
        EXPECT_TRUE(lobby.Receive("10.0.0.9", nick + "|" + password + "|slc|"));
        EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.9", kNickTaken}));
        EXPECT_EQ(lobby.form->Cad.SaveToText(), table);
        EXPECT_EQ(lobby.form->Cad.RowCount(), 2);
    }
    // A registered nick with such a password is simply a wrong password.
    EXPECT_TRUE(lobby.Receive("10.0.0.9", "ana|p,w|slc|"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.9", kNickTaken}));
    // And the nick stays free for a storable password.
    EXPECT_TRUE(lobby.Receive("10.0.0.9", "zoe|pw|"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.9", kWelcome}));
    EXPECT_THAT(lobby.notifier.errors, IsEmpty());
}

TEST_F(RequestsTest, DatagramWithoutNickAndPasswordIsOnlyLogged)
{
    lobby.Join("10.0.0.5", "ana");
    ASSERT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|off|"));
    lobby.TakeSent();
    const std::string table = lobby.form->Cad.SaveToText();

    for (const std::string datagram : {"", "ana", "ana|pw", "ana|pwslc", "new|", "|"}) {
        SCOPED_TRACE("datagram '" + datagram + "'");
        EXPECT_TRUE(lobby.Receive("10.0.0.5", datagram));
        EXPECT_EQ(lobby.LogLines().back(), "10.0.0.5: 10:20:30 " + datagram);
        EXPECT_THAT(lobby.TakeSent(), IsEmpty());
        EXPECT_EQ(lobby.form->Cad.SaveToText(), table);
        EXPECT_EQ(lobby.CellOf("ana", Registry::kMarker), ""); // not logged in
    }
    EXPECT_THAT(lobby.notifier.errors, IsEmpty());
}

TEST_F(RequestsTest, FailedReceiveIsIgnoredBeforeAnythingIsLogged)
{
    lobby.Join("10.0.0.5", "ana");
    const std::string log = lobby.LogText();
    EXPECT_TRUE(lobby.ReceiveFailed("10.0.0.5"));
    EXPECT_EQ(lobby.LogText(), log);
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    EXPECT_THAT(lobby.notifier.errors, IsEmpty());
}

TEST_F(RequestsTest, EveryDatagramReceivedAndSentIsLogged)
{
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|slc|"));
    lobby.clock.now.second = 31;
    EXPECT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|pvt|ana|ol\xE1"));
    EXPECT_EQ(lobby.LogText(), "10.0.0.5: 10:20:30 ana|pw|slc|\r\n"
                               "> 10:20:30 para: 10.0.0.5 sys|Bem vindo ao nosso servidor!\r\n"
                               "> 10:20:30 para: 10.0.0.5 okj|0\r\n"
                               "> 10:20:30 para: 10.0.0.5 lsj|+ana|...\r\n"
                               "> 10:20:30 para: 10.0.0.5 ttn|ana - 0|...\r\n"
                               "> 10:20:30 para: 10.0.0.5 sys|Conectado ao jogo!\r\n"
                               "10.0.0.6: 10:20:31 bob|pw|pvt|ana|ol\xE1\r\n"
                               "> 10:20:31 para: 10.0.0.6 sys|Bem vindo ao nosso servidor!\r\n"
                               "> 10:20:31 para: 10.0.0.5 msg|bob manda dizer s\xF3 para voc\xEA: ol\xE1\r\n");

    // Past midnight the next request and its answers go to the new day's file.
    const std::string yesterday = lobby.LogText();
    lobby.clock.now = {2026, 12, 8, 0, 0, 1, 2};
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|zzz"));
    EXPECT_TRUE(lobby.Receive("10.0.0.7", "cy|x|"));
    EXPECT_EQ(lobby.LogText(), "10.0.0.5: 00:00:01 ana|pw|zzz\r\n"
                               "10.0.0.7: 00:00:01 cy|x|\r\n"
                               "> 00:00:01 para: 10.0.0.7 sys|Bem vindo ao nosso servidor!\r\n");
    EXPECT_EQ(ReadBytes(lobby.folder / "07-12-2026.txt"), yesterday);
}

TEST_F(RequestsTest, FailedSendEndsTheRequestOnlyAndIsReported)
{
    lobby.Join("10.0.0.5", "ana");
    lobby.Join("10.0.0.6", "bob");
    lobby.endpoint->failBeforeSend = [](const std::string& host, const std::string&) {
        if (host == "10.0.0.6")
            throw UDPSockError("Unknown Error No. 101");
    };

    // The broadcast stops at the failing recipient.
    EXPECT_FALSE(lobby.Receive("10.0.0.5", "ana|pw|msg|oi"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.5", Chat("ana", "oi")}));
    EXPECT_THAT(ErrorTexts(), ElementsAre("Unknown Error No. 101."));

    // A newcomer whose player list fails: registered and flagged, but no ranking and no
    // "connected" notice.
    EXPECT_FALSE(lobby.Receive("10.0.0.7", "cy|pw|slc|"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.7", kWelcome}, SentDatagram{"10.0.0.7", OwnScore("0")},
                                              SentDatagram{"10.0.0.5", PlayerList({"+ana", "+bob", "+cy"})}));
    EXPECT_EQ(lobby.CellOf("cy", Registry::kMarker), ">");
    EXPECT_EQ(lobby.CellOf("cy", Registry::kFlag), "+");
    EXPECT_EQ(lobby.notifier.errors.size(), 2u);

    // The sends that failed were logged before they were tried.
    EXPECT_EQ(lobby.LogLines().back(), "> 10:20:30 para: 10.0.0.6 " + PlayerList({"+ana", "+bob", "+cy"}));

    // Once sending works again everybody is served.
    lobby.endpoint->failBeforeSend = nullptr;
    EXPECT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|msg|voltei"));
    EXPECT_EQ(lobby.TakeSent().size(), 3u);
}

TEST_F(RequestsTest, LogLinesThatCannotBeWrittenAreReportedOnceAndTheRequestGoesOn)
{
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "zoe|pw|zzz|"));
    lobby.TakeSent();
    const std::string before = lobby.LogText();
    const std::string received = "10.0.0.5: 10:20:30 zoe|pw|slc|\r\n";
    {
        // Room for the received line, none for the lines of what is sent (a full disk): the
        // lobby still answers, and the operator is told once, not once a line.
        FileSizeCap cap(before.size() + received.size());
        EXPECT_TRUE(lobby.Receive("10.0.0.5", "zoe|pw|slc|"));
        EXPECT_TRUE(lobby.Receive("10.0.0.5", "zoe|pw|msg|oi"));
    }
    EXPECT_EQ(lobby.LogText(), before + received);
    EXPECT_THAT(lobby.SentTo("10.0.0.5"), ElementsAre(OwnScore("0"), PlayerList({"+zoe"}), Ranking({"zoe - 0"}),
                                                      kConnected, Chat("zoe", "oi")));
    ASSERT_EQ(ErrorTexts().size(), 1u);
    EXPECT_THAT(ErrorTexts()[0], StartsWith("Disk full (" + lobby.folder.Slash()));

    lobby.TakeSent();
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "zoe|pw|fc-|"));
    EXPECT_EQ(lobby.LogLines().back(), "> 10:20:30 para: 10.0.0.5 " + PlayerList({"-zoe"}));
}

} // namespace
