// The player registry: the file's line forms, logins, registration and the score order.
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/exception.h"
#include "server/lobby/ban_list.h"
#include "server/registry/integer_text.h"
#include "server/registry/registry.h"
#include "server/registry/registry_file.h"
#include "support/temp_folder.h"

using namespace lobby;

namespace {

using namespace std::string_literals;
using Table = std::vector<std::vector<std::string>>;

Table Cells(const Registry& registry)
{
    Table table;
    for (int row = 0; row < registry.RowCount(); ++row) {
        auto& cells = table.emplace_back();
        for (int col = 0; col < Registry::kColCount; ++col)
            cells.emplace_back(registry.Cell(col, row));
    }
    return table;
}

Registry Loaded(const std::string& text)
{
    Registry registry;
    registry.LoadFromText(text);
    return registry;
}

const std::string kHeader = ",Nick,Senha,Ip,Pontos,,\r\n";

std::string PlayerLine(const std::string& nick, const std::string& password, const std::string& score)
{
    return "," + nick + "," + password + ",10.0.0.1," + score + ",-,\r\n";
}

TEST(RegistryFile, AFreshFileHasOnlyTheHeaderAndGainsAnEmptySixthCell)
{
    Registry registry = Loaded(",Nick,Senha,Ip,Pontos,\r\n");
    EXPECT_EQ(registry.RowCount(), 1);
    EXPECT_EQ(registry.FixedRows(), 0);
    EXPECT_EQ(Cells(registry), (Table{{"", "Nick", "Senha", "Ip", "Pontos", ""}}));
    EXPECT_EQ(registry.SaveToText(), kHeader);
    EXPECT_EQ(Cells(Loaded(registry.SaveToText())), Cells(registry));

    registry.AddPlayer("ana", "pw", "10.0.0.1");
    registry.SetFixedRows(1);
    EXPECT_EQ(registry.RowCount(), 2);
    EXPECT_EQ(registry.FixedRows(), 1);
}

TEST(RegistryFile, EveryLineEndIsAcceptedAndAFinalOneAddsNoLine)
{
    EXPECT_EQ(Loaded("a,\rb,\nc,\r\nd,").RowCount(), 4);
    EXPECT_EQ(Cells(Loaded("a,\rb,\nc,\r\nd,"))[3][0], "d");
    EXPECT_EQ(Loaded("x,\r\n").RowCount(), 1);
    EXPECT_EQ(Loaded("x,\n\n").RowCount(), 2);
    EXPECT_EQ(Loaded("x,\r\r\ny,").RowCount(), 3);
    // An empty file has no line; the table still keeps one row, with no header.
    Registry empty = Loaded("");
    EXPECT_EQ(empty.RowCount(), 1);
    EXPECT_EQ(empty.FixedRows(), 0);
}

TEST(RegistryFile, ANulByteEndsTheFile)
{
    Registry registry = Loaded(kHeader + ",ana,p\0w,10.0.0.1,5,-,\r\n,bob,pw,10.0.0.2,3,-,\r\n"s);
    EXPECT_EQ(registry.RowCount(), 2);
    // ",ana,p": the field after the last comma is dropped.
    EXPECT_EQ(Cells(registry)[1], (std::vector<std::string>{"", "ana", "", "", "", ""}));
}

TEST(RegistryFile, FieldsAreCutAtCommasAndLinesAt4096Characters)
{
    Registry registry = Loaded(kHeader + ",a,b,c,d,e,f,g,\r\n" + "no comma at all\r\n" + "\r\n" +
                               "on,ana,pw,10.0.0.1,5,+,\r\n" + ",trailing,x,y,z,w,v,tail\r\n" +
                               "," + std::string(5000, 'n') + ",pw,\r\n");
    const Table cells = Cells(registry);
    ASSERT_EQ(cells.size(), 7u);
    EXPECT_EQ(cells[1], (std::vector<std::string>{"", "a", "b", "c", "d", "e"}));
    EXPECT_EQ(cells[2], (std::vector<std::string>(6)));
    EXPECT_EQ(cells[3], (std::vector<std::string>(6)));
    EXPECT_EQ(cells[4][0], "on");
    EXPECT_EQ(cells[5][5], "w"); // "v" is the seventh field, "tail" follows the last comma
    // The long line keeps its first 4096 characters: the comma after the nick is lost.
    EXPECT_EQ(cells[6], (std::vector<std::string>(6)));

    EXPECT_TRUE(registry.IsOnline(4)); // text before the first comma marks a player online
    EXPECT_FALSE(registry.IsOnline(5));
    EXPECT_EQ(registry.OnlineRows(), std::set<int>{4});

    const std::string saved = registry.SaveToText();
    EXPECT_NE(saved.find("\r\n,a,b,c,d,e,\r\n,,,,,,\r\n,,,,,,\r\n,ana,pw,10.0.0.1,5,+,\r\n"), std::string::npos);
}

TEST(RegistryFile, AnySavedTableOfStorableCellsReadsBackTheSame)
{
    std::mt19937 random(20261207);
    const std::string unstorable(",\r\n\0", 4);
    const auto randomCell = [&] {
        std::string cell(random() % 12, ' ');
        for (char& c : cell) {
            do
                c = static_cast<char>(random() % 256);
            while (unstorable.find(c) != std::string::npos);
        }
        return cell;
    };
    for (int round = 0; round < 200; ++round) {
        Registry registry;
        registry.SetRowCount(1 + static_cast<int>(random() % 30));
        for (int row = 0; row < registry.RowCount(); ++row) {
            for (int col = 1; col < Registry::kColCount; ++col)
                registry.SetCell(col, row, randomCell());
        }
        const Table expected = Cells(registry);
        const Registry reloaded = Loaded(registry.SaveToText());
        ASSERT_EQ(Cells(reloaded), expected) << "round " << round;
        ASSERT_EQ(reloaded.SaveToText(), registry.SaveToText());
    }
}

TEST(RegistryFile, ALargeFileReadFromDiskLoadsLikeItsTextThoughItsPagesAreFreedOnTheWay)
{
    // Enough rows for the loader to free the front of the text several times, lines of
    // varying length and every line end, so that pages are freed in mid-line too.
    std::mt19937 random(7);
    std::string text = kHeader;
    const char* ends[] = {"\r\n", "\n", "\r"};
    for (int i = 0; i < 60000; ++i) {
        text += (i % 7 == 0 ? ">," : ",") + std::string("nick") + std::to_string(i) + "," +
                std::string(random() % 40, 'p') + ",10.0.0." + std::to_string(i % 250) + "," +
                std::to_string(static_cast<int>(random() % 2000) - 1000) + ",-," + ends[random() % 3];
    }
    const TempFolder folder;
    WriteBytes(folder / "cadastro.txt", text);

    std::optional<FileText> file = ReadRegistryFile((folder / "cadastro.txt").string());
    ASSERT_TRUE(file.has_value());
    ASSERT_EQ(file->View(), text);
    std::size_t lastFreed = 0;
    Registry fromDisk;
    fromDisk.LoadFromText(file->View(), [&](std::size_t offset) {
        EXPECT_GE(offset, lastFreed) << "the loader never goes back";
        lastFreed = offset;
        file->ReleaseBefore(offset);
    });
    EXPECT_GT(lastFreed, text.size() / 2);
    EXPECT_EQ(Cells(fromDisk), Cells(Loaded(text)));
    EXPECT_EQ(fromDisk.NickRow("NICK59999"), 60000);
    EXPECT_FALSE(ReadRegistryFile((folder / "missing.txt").string()).has_value());
}

TEST(RegistryLogin, NickAndPasswordMatchWithoutAsciiLetterCase)
{
    Registry registry = Loaded(kHeader + PlayerLine("Ana", "Segredo", "5") + PlayerLine("bob", "x", "3"));
    EXPECT_EQ(registry.CheckLogin("bob", "y"), -1);
    EXPECT_FALSE(registry.IsOnline(2)); // a refused login changes nothing
    EXPECT_EQ(registry.CheckLogin("carla", "x"), 0);
    EXPECT_EQ(registry.CheckLogin("ANA", "segredo"), 1);
    EXPECT_EQ(registry.Cell(Registry::kMarker, 1), ">");
    EXPECT_EQ(registry.Cell(Registry::kNick, 1), "Ana"); // the registered spelling stays
    EXPECT_EQ(registry.CheckLogin("ana", "SEGREDO"), 1);
    // Only a-z fold: accented letters are other bytes.
    Registry accented = Loaded(kHeader + PlayerLine("Jos\xE9", "pw", "0"));
    EXPECT_EQ(accented.CheckLogin("JOS\xC9", "pw"), 0);
    EXPECT_EQ(accented.CheckLogin("jos\xE9", "PW"), 1);
}

TEST(RegistryLogin, TheRowFirstInTheFileWinsAlsoAfterSortsAndAdditions)
{
    Registry registry = Loaded(kHeader + PlayerLine("ana", "one", "1") + PlayerLine("ANA", "two", "9"));
    EXPECT_EQ(registry.CheckLogin("Ana", "two"), -1);
    EXPECT_EQ(registry.CheckLogin("Ana", "one"), 1);
    registry.SortByScore(); // ANA (9) moves above ana (1); logins still find ana
    EXPECT_EQ(registry.Cell(Registry::kNick, 1), "ANA");
    EXPECT_EQ(registry.CheckLogin("ana", "one"), 2);
    EXPECT_EQ(registry.CheckLogin("ana", "two"), -1);

    const int carla = registry.AddPlayer("Carla", "c", "10.0.0.3");
    EXPECT_EQ(carla, 3);
    EXPECT_EQ(registry.CheckLogin("CARLA", "C"), 3);
    registry.SetCell(Registry::kNick, 3, "Dora");
    EXPECT_EQ(registry.CheckLogin("carla", "c"), 0);
    EXPECT_EQ(registry.CheckLogin("dora", "c"), 3);
    // An empty nick is a nick like any other: a row without cells answers to it.
    Registry blank = Loaded(kHeader + "no comma\r\n");
    EXPECT_EQ(blank.CheckLogin("", ""), 1);
}

TEST(RegistryLogin, AnAddedPlayerIsOnlineWithScoreZeroAndTheMinusFlag)
{
    Registry registry = Loaded(kHeader);
    const int row = registry.AddPlayer("ana", "pw", "127.0.0.5");
    EXPECT_EQ(Cells(registry)[row], (std::vector<std::string>{">", "ana", "pw", "127.0.0.5", "0", "-"}));
    EXPECT_EQ(registry.OnlineRows().count(row), 1u);
    registry.SetCell(Registry::kMarker, row, "");
    EXPECT_TRUE(registry.OnlineRows().empty());
}

// The row-by-row exchange sort that SortByScore must match, error and partial work included.
std::optional<std::string> ReferenceSort(Table& table)
{
    bool swapped = true;
    while (swapped) {
        swapped = false;
        if (table.size() < 3)
            return std::nullopt;
        for (std::size_t r = 1; r + 1 < table.size(); ++r) {
            const auto upper = TryStrToInt(table[r][4]);
            if (!upper)
                return table[r][4];
            const auto lower = TryStrToInt(table[r + 1][4]);
            if (!lower)
                return table[r + 1][4];
            if (*upper < *lower) {
                std::swap(table[r], table[r + 1]);
                swapped = true;
            }
        }
    }
    return std::nullopt;
}

// Sorts registry, and the exchange sort the table's cells: the same error (or none), the same
// rows after, and the online set following its rows. Says whether the sort raised.
bool SortLikeTheExchangeSort(Registry& registry, const std::string& context)
{
    Table expected = Cells(registry);
    const auto expectedError = ReferenceSort(expected);
    std::optional<std::string> error;
    try {
        registry.SortByScore();
    } catch (const EConvertError& e) {
        error = e.Message();
    }
    EXPECT_EQ(error, expectedError ? std::optional("'" + *expectedError + "' is not a valid integer value") : std::nullopt)
        << context;
    EXPECT_EQ(Cells(registry), expected) << context;
    std::set<int> online;
    for (int row = 1; row < registry.RowCount(); ++row) {
        if (registry.IsOnline(row))
            online.insert(row);
    }
    EXPECT_EQ(registry.OnlineRows(), online) << context;
    return error.has_value();
}

TEST(RegistrySort, MatchesTheExchangeSortOnRandomTables)
{
    std::mt19937 random(7);
    const std::vector<std::string> scores = {"0", "1", "5", "-3", "5", "120", "$A", " 7", "2147483647", "-2147483648"};
    for (int round = 0; round < 2000; ++round) {
        Registry registry;
        registry.LoadFromText(kHeader);
        const int players = static_cast<int>(random() % 12);
        for (int p = 0; p < players; ++p) {
            const int row = registry.AddPlayer("p" + std::to_string(p), "pw", "10.0.0.1");
            registry.SetCell(Registry::kScore, row, scores[random() % scores.size()]);
            if (random() % 3 == 0)
                registry.SetCell(Registry::kMarker, row, "");
        }
        if (round % 4 == 0 && players > 0) // now and then a score that is no integer
            registry.SetCell(Registry::kScore, 1 + static_cast<int>(random() % players), random() % 2 ? "abc" : "7 ");

        SortLikeTheExchangeSort(registry, "round " + std::to_string(round));
        ASSERT_FALSE(HasFailure());
        // The logins follow the rows wherever they moved.
        for (int row = 1; row < registry.RowCount(); ++row)
            ASSERT_EQ(registry.CheckLogin(std::string(registry.Cell(Registry::kNick, row)), "pw"), row);
    }
}

// Reports, registrations and sorts one after another, as a lobby makes them: the sort keeps
// what it learnt of the order from one call to the next, so it must match the exchange sort
// through every sequence, also when more rows change between sorts than it keeps track of.
// A snapshot taken before the changes keeps reading as the table it was taken from.
TEST(RegistrySort, KeepsMatchingTheExchangeSortThroughReportsAndRegistrations)
{
    std::mt19937 random(11);
    const auto pick = [&](int bound) { return static_cast<int>(random() % static_cast<unsigned>(bound)); };
    for (int round = 0; round < 60; ++round) {
        std::string file = kHeader;
        const int players = pick(150);
        for (int p = 0; p < players; ++p)
            file += PlayerLine("p" + std::to_string(p), "pw", std::to_string(round % 2 ? 1000 - p : pick(50)));
        Registry registry = Loaded(file);
        for (int step = 0; step < 40; ++step) {
            const std::string before = registry.SaveToText();
            RegistrySnapshot snapshot = registry.Snapshot();
            const int changes = pick(step % 10 == 9 ? 120 : 4);
            for (int c = 0; c < changes; ++c) {
                if (registry.RowCount() > 1 && pick(4) != 0) {
                    const int row = 1 + pick(registry.RowCount() - 1);
                    const std::string score = pick(60) == 0 ? "x" : std::to_string(pick(100) - 20);
                    registry.SetCell(Registry::kScore, row, score);
                    registry.SetCell(Registry::kMarker, row, pick(2) ? ">" : "");
                } else {
                    registry.AddPlayer("n" + std::to_string(step) + "_" + std::to_string(c), "pw", "10.0.0.1");
                }
            }
            ASSERT_EQ(RegistryText(snapshot), before) << "round " << round << " step " << step;
            snapshot = {};
            registry.SnapshotReleased();

            const bool raised =
                SortLikeTheExchangeSort(registry, "round " + std::to_string(round) + " step " + std::to_string(step));
            ASSERT_FALSE(HasFailure());
            if (raised) { // mend the bad scores, as the file would be mended
                for (int row = 1; row < registry.RowCount(); ++row) {
                    if (registry.Cell(Registry::kScore, row) == "x")
                        registry.SetCell(Registry::kScore, row, "3");
                }
            }
        }
    }
}

TEST(RegistrySort, ARisingRowPassesEveryLowerRowAndTiesKeepTheirOrder)
{
    Registry registry = Loaded(kHeader + PlayerLine("a", "p", "9") + PlayerLine("b", "p", "5") +
                               PlayerLine("c", "p", "5") + PlayerLine("d", "p", "1") + PlayerLine("e", "p", "6"));
    registry.SortByScore();
    std::string order;
    for (int row = 1; row < registry.RowCount(); ++row)
        order += registry.Cell(Registry::kNick, row);
    EXPECT_EQ(order, "aebcd");
}

TEST(RegistrySort, ABadScoreStopsTheSortAfterTheExchangesBeforeIt)
{
    // The first pass carries 1 down past 4 and 3, then reads "x".
    Registry registry = Loaded(kHeader + PlayerLine("a", "p", "1") + PlayerLine("b", "p", "4") +
                               PlayerLine("c", "p", "3") + PlayerLine("d", "p", "x") + PlayerLine("e", "p", "8"));
    EXPECT_THROW(registry.SortByScore(), EConvertError);
    std::string order;
    for (int row = 1; row < registry.RowCount(); ++row)
        order += registry.Cell(Registry::kNick, row);
    EXPECT_EQ(order, "bcade");
    // Fewer than two players: nothing is read, so nothing can fail.
    Registry single = Loaded(kHeader + PlayerLine("a", "p", "bad"));
    EXPECT_NO_THROW(single.SortByScore());
}

TEST(RegistryGrid, CellsOutsideTheTableReadEmptyAndRefuseWrites)
{
    Registry registry = Loaded(kHeader);
    EXPECT_EQ(registry.Cell(6, 0), "");
    EXPECT_EQ(registry.Cell(0, 5), "");
    EXPECT_THROW(registry.SetCell(0, 5, ">"), Exception);
    EXPECT_THROW(registry.SetCell(-1, 0, ">"), Exception);
    EXPECT_THROW(registry.SetCell(1, 0, std::string(70000, 'x')), Exception);
}

} // namespace

namespace {

// A removed row leaves the table as if it had never been: logins, the online players, the
// order and the file of the others unchanged, and the next sort still places a report.
TEST(RegistryRemoval, LeavesTheOthersAsTheyWere)
{
    Registry registry = Loaded(kHeader + PlayerLine("ana", "a", "30") + PlayerLine("bob", "b", "20") +
                               PlayerLine("cid", "c", "10") + PlayerLine("dan", "d", "5"));
    for (const auto& [nick, password] : {std::pair{"ana", "a"}, {"bob", "b"}, {"dan", "d"}})
        registry.CheckLogin(nick, password);
    registry.RemovePlayer(2);
    EXPECT_EQ(registry.NickRow("BOB"), 0);
    EXPECT_EQ(registry.NickRow("cid"), 2);
    EXPECT_EQ(registry.OnlineRows(), (std::set<int>{1, 3}));
    EXPECT_EQ(registry.SaveToText(), kHeader + PlayerLine("ana", "a", "30") + PlayerLine("cid", "c", "10") +
                                         PlayerLine("dan", "d", "5"));
    registry.SetCell(Registry::kScore, 3, "40");
    registry.SortByScore();
    EXPECT_EQ(registry.Cell(Registry::kNick, 1), "dan");
    EXPECT_EQ(registry.NickRow("dan"), 1);
    EXPECT_THROW(registry.RemovePlayer(0), Exception);
    EXPECT_THROW(registry.RemovePlayer(4), Exception);
}

} // namespace

namespace {

TEST(BanListFile, ReadsItsOwnLinesAndNamesTheFirstItCannot)
{
    BanList bans;
    bans.Load("# comment\r\naddress 10.0.0.5\r\n\nnick Ana\nnick ANA\naddress 192.168.4.0/22\nnick 10.0.0.0/8\n");
    EXPECT_EQ(bans.FileText(), "# The lobby's bans, one a line (lobbyctl ban, lobbyctl unban).\naddress 10.0.0.5\nnick Ana\n"
                               "address 192.168.4.0/22\nnick 10.0.0.0/8\n");
    EXPECT_TRUE(bans.BansNick("aNa"));
    for (const auto& [address, banned] : {std::pair{"10.0.0.5", true}, {"10.0.0.50", false}, {"10.0.0.6", false},
                                          {"192.168.4.0", true}, {"192.168.7.255", true}, {"192.168.8.0", false},
                                          {"192.168.3.255", false}})
        EXPECT_EQ(bans.BansAddress(address), banned) << address;
    const std::pair<std::string, std::string> wrong[] = {
        {"nick ana\naddress 10.0.0.05\n", "line 2: \"10.0.0.05\" is no IPv4 address"},
        {"host example.org\n", "line 1: a ban names a nick or an address"},
        {"nick\n", "line 1: a nick to ban is not empty"},
        {"nick a,b\n", "line 1: a nick to ban is not empty and holds no"},
        {"address 10.0.0.0/0\n", "line 1: \"10.0.0.0/0\" is no IPv4 address"},
    };
    for (const auto& [text, message] : wrong) {
        try {
            bans.Load(text);
            ADD_FAILURE() << text;
        } catch (const Exception& error) {
            EXPECT_EQ(error.Message().substr(0, message.size()), message);
        }
    }
    EXPECT_TRUE(bans.BansNick("ana")) << "a file that cannot be read changes nothing";
}

} // namespace
