// A kill at any moment loses no saved player: the built server is killed with SIGKILL at
// random moments of a flood of registrations and score reports, 20 times over, and after
// each kill the registry file must read whole and hold every player of the last save that
// completed, and every player that was welcomed (every other round the kill comes right
// after a welcome). The server runs in a network namespace of its own, its client on
// 127.0.0.2. Each runs twice: on a small registry, rewritten for every change, and on one
// large enough to keep a journal, where kills come during appends and rewrites; there the
// registry is what start-up makes of the file and its journal, which must apply cleanly.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <sys/socket.h>

#include <gtest/gtest.h>

#include "server/registry/journal_replay.h"
#include "support/client_texts.h"
#include "support/loopback.h"
#include "support/private_network.h"
#include "support/server_program.h"
#include "support/temp_folder.h"

using namespace test_support;

namespace {

using SteadyClock = std::chrono::steady_clock;

// The registry file's lines, each checked to be whole: ends in CR LF, starts with the
// comma of the empty presence column and has the six commas of a saved row. Fails the test
// for any other line; returns the nicks of the player rows.
std::set<std::string> NicksOfAWholeRegistry(const std::string& text)
{
    std::set<std::string> nicks;
    EXPECT_TRUE(text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") << "the last line is cut";
    std::size_t pos = 0;
    for (int line = 0; pos < text.size(); ++line) {
        const std::size_t end = text.find("\r\n", pos);
        if (end == std::string::npos)
            break;
        const std::string row = text.substr(pos, end - pos);
        pos = end + 2;
        if (line == 0) {
            EXPECT_TRUE(row == ",Nick,Senha,Ip,Pontos," || row == ",Nick,Senha,Ip,Pontos,,") << row;
            continue;
        }
        EXPECT_EQ(std::count(row.begin(), row.end(), ','), 6) << "line " << line << ": " << row;
        EXPECT_EQ(row.find_first_of("\r\n"), std::string::npos) << "line " << line;
        const std::size_t nickEnd = row.find(',', 1);
        EXPECT_EQ(row[0], ',');
        if (nickEnd != std::string::npos)
            nicks.insert(row.substr(1, nickEnd - 1));
    }
    return nicks;
}

// Enough rows for the server to keep a journal (see SaveScheduler::kJournalFromRows).
std::string FillerRows()
{
    std::string rows;
    for (int i = 0; i < 10000; ++i)
        rows += ",filler" + std::to_string(i) + ",pw,127.0.0.9,0,-,\r\n";
    return rows;
}

// The registry as start-up reads it: the file, checked whole, with its journal applied (which
// must apply: a failure fails the test). The table's text, every row as the file writes it.
std::string RegistryAfterRestart(const fs::path& folder)
{
    const std::string file = ReadBytes(folder / "cadastro.txt");
    NicksOfAWholeRegistry(file);
    lobby::Registry table;
    table.LoadFromText(file);
    if (fs::exists(folder / "cadastro.journal")) {
        const lobby::ParsedJournal journal = lobby::ParseJournal(ReadBytes(folder / "cadastro.journal"));
        EXPECT_NO_THROW(lobby::ReplayJournal(table, journal, lobby::IdentityOf(file), {"cadastro.txt", "cadastro.journal"}));
    }
    return table.SaveToText();
}

// A private network, and a folder holding a copy of the server, to start it on the registry
// file each test writes there, again after every kill.
class CrashSafety : public testing::Test {
protected:
    void SetUp() override
    {
        if (!network.Failure().empty())
            GTEST_SKIP() << network.Failure();
        fs::copy_file(ServerProgramPath(), program);
    }
    void FloodOfRegistrationsAndScores(bool large);
    void ScoreReports(bool large);

    PrivateNetwork network;
    TempFolder folder;
    const fs::path program = folder / "lobby-server";
};

TEST_F(CrashSafety, SigkillDuringAFloodOfRegistrationsAndScoresLosesNoSavedPlayer)
{
    FloodOfRegistrationsAndScores(false);
}

TEST_F(CrashSafety, SigkillDuringJournalAppendsAndRewritesLosesNoSavedPlayer)
{
    FloodOfRegistrationsAndScores(true);
}

TEST_F(CrashSafety, SigkillDuringScoreReportsNeverTakesBackAShownScore)
{
    ScoreReports(false);
}

TEST_F(CrashSafety, SigkillDuringJournalledScoreReportsNeverTakesBackAShownScore)
{
    ScoreReports(true);
}

void CrashSafety::FloodOfRegistrationsAndScores(bool large)
{
    // A known player to knock with: a wrong password always gets the same answer.
    WriteBytes(folder / "cadastro.txt", ",Nick,Senha,Ip,Pontos,\r\n,door,secret,127.0.0.9,0,-,\r\n" + (large ? FillerRows() : ""));

    LoopbackPeer client("127.0.0.2");
    int buffer = 4 << 20;
    ::setsockopt(client.Fd(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    std::mt19937 random(20261207);
    std::set<std::string> confirmed; // in a save that completed: must be in the file for ever
    int kills = 0;
    std::size_t requestsSent = 0;

    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ChildProgram server({program.string(), "m5qt4", "--headless", "--rate-limit", "0", "--registration-limit", "0",
                             "--lobby-registration-limit", "0", "--lobby-output-limit", "0", "--list-interval", "0",
                             "--reply-port", std::to_string(client.Port())},
                            HeadlessServerSetup("/", (folder / "stderr").string()));
        bool up = false;
        for (int i = 0; i < 200 && !up; ++i) {
            client.SendTo(12001, "door|knock|zzz|");
            up = client.Receive(50).has_value();
        }
        ASSERT_TRUE(up) << ReadBytes(folder / "stderr");
        while (client.Receive(50)) {
        }

        // Batches of new players, each leaving at once (so broadcasts stay small), closed by
        // a score report: its ranking (the one message it sends, to the scorer alone) comes
        // back only after the registry was saved with every player registered before it.
        // A welcome comes back only once its nick is on disk; welcomes come in the order of
        // the registrations, rankings in the order of their reports. At most two batches are
        // in flight, so the server's receive queue never overflows and no request is lost.
        const auto killAt = SteadyClock::now() + std::chrono::milliseconds(std::uniform_int_distribution<int>(30, 400)(random));
        std::vector<std::string> sentNicks;
        std::vector<std::size_t> nicksBeforeReport; // per score report, the nicks sent before it
        int batch = 0;
        int rankings = 0;
        std::size_t welcomes = 0;
        const auto takeReplies = [&](int waitMs) {
            while (const auto reply = client.Receive(waitMs)) {
                if (reply->bytes == kWelcome && welcomes < sentNicks.size())
                    confirmed.insert(sentNicks[welcomes++]);
                if (reply->bytes.rfind("ttn|", 0) == 0 && static_cast<std::size_t>(rankings) < nicksBeforeReport.size()) {
                    const auto before = static_cast<std::ptrdiff_t>(nicksBeforeReport[static_cast<std::size_t>(rankings)]);
                    confirmed.insert(sentNicks.begin(), sentNicks.begin() + before);
                    ++rankings;
                }
                waitMs = 0;
            }
        };
        while (SteadyClock::now() < killAt && batch < 10000) {
            for (int i = 0; i < 8; ++i) {
                const std::string nick = "r" + std::to_string(round) + "b" + std::to_string(batch) + "p" + std::to_string(i);
                sentNicks.push_back(nick);
                client.SendTo(12001, nick + "|pw|zzz|");
                client.SendTo(12001, nick + "|pw|off|");
                requestsSent += 2;
            }
            const std::string scorer = sentNicks[sentNicks.size() - 1 - batch % 8];
            nicksBeforeReport.push_back(sentNicks.size());
            client.SendTo(12001, scorer + "|pw|scj|" + std::to_string(batch % 17));
            client.SendTo(12001, scorer + "|pw|off|");
            requestsSent += 2;
            ++batch;
            takeReplies(0);
            const auto windowDeadline = SteadyClock::now() + 3s;
            while (rankings + 2 <= batch && SteadyClock::now() < windowDeadline)
                takeReplies(10);
            ASSERT_GT(rankings + 2, batch) << "the server stopped answering";
        }
        if (round % 2 == 1) {
            // One more newcomer, and the kill the moment its welcome arrives.
            sentNicks.push_back("r" + std::to_string(round) + "last");
            client.SendTo(12001, sentNicks.back() + "|pw|zzz|");
            const auto deadline = SteadyClock::now() + 3s;
            while (welcomes < sentNicks.size() && SteadyClock::now() < deadline) {
                if (const auto reply = client.Receive(10); reply && reply->bytes == kWelcome)
                    confirmed.insert(sentNicks[welcomes++]);
            }
            ASSERT_EQ(welcomes, sentNicks.size()) << "a welcome never came";
        }
        server.Signal(SIGKILL);
        ASSERT_EQ(server.WaitForExit(10s), std::optional<int>(128 + SIGKILL));
        ++kills;
        // Replies already on their way still count: they were sent before the kill.
        takeReplies(20);

        const std::set<std::string> inFile = NicksOfAWholeRegistry(RegistryAfterRestart(folder.Path()));
        ASSERT_TRUE(inFile.count("door"));
        for (const std::string& nick : confirmed)
            ASSERT_TRUE(inFile.count(nick)) << nick << " was welcomed or saved, then lost to a kill";
    }
    EXPECT_EQ(kills, 20);
    EXPECT_EQ(fs::exists(folder / "cadastro.journal"), large) << "the journal is kept from 10,000 rows on";
    EXPECT_GT(confirmed.size(), 0u);
    RecordProperty("requests", static_cast<int>(requestsSent));
    RecordProperty("players_saved", static_cast<int>(confirmed.size()));
}

// The score of each player row of a registry text.
std::map<std::string, long> ScoresInRegistry(const std::string& text)
{
    std::map<std::string, long> scores;
    std::size_t pos = text.find("\r\n");
    while (pos != std::string::npos && pos + 2 < text.size()) {
        const std::size_t end = text.find("\r\n", pos + 2);
        std::vector<std::string> cells;
        std::string cell;
        for (const char c : text.substr(pos + 2, end - pos - 2)) {
            if (c == ',') {
                cells.push_back(cell);
                cell.clear();
            } else {
                cell += c;
            }
        }
        if (cells.size() >= 5)
            scores[cells[1]] = std::stol(cells[4]);
        pos = end;
    }
    return scores;
}

// A ranking's entries, "nick - score": the nick and the score it showed.
std::vector<std::pair<std::string, long>> RankingEntries(const std::string& ranking)
{
    std::vector<std::pair<std::string, long>> entries;
    std::size_t pos = 4; // after "ttn|"
    for (std::size_t bar; (bar = ranking.find('|', pos)) != std::string::npos; pos = bar + 1) {
        const std::string entry = ranking.substr(pos, bar - pos);
        const std::size_t dash = entry.find(" - ");
        if (dash != std::string::npos)
            entries.emplace_back(entry.substr(0, dash), std::stol(entry.substr(dash + 3)));
    }
    return entries;
}

// Several players report points, never taking any away, while the server is killed at random
// moments: no score a ranking showed may be missing from the registry afterwards, since
// scores only grow, the file must hold each player at least at the highest score shown.
void CrashSafety::ScoreReports(bool large)
{
    WriteBytes(folder / "cadastro.txt", ",Nick,Senha,Ip,Pontos,\r\n" + (large ? FillerRows() : ""));

    constexpr int kPlayers = 4;
    std::vector<std::unique_ptr<LoopbackPeer>> players;
    players.push_back(std::make_unique<LoopbackPeer>("127.0.0.2"));
    for (int p = 1; p < kPlayers; ++p)
        players.push_back(std::make_unique<LoopbackPeer>(("127.0.0." + std::to_string(2 + p)).c_str(), players[0]->Port()));
    std::map<std::string, long> shown; // the highest score any ranking showed, per nick
    std::mt19937 random(20261208);

    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ChildProgram server({program.string(), "m5qt4", "--headless", "--rate-limit", "0", "--registration-limit", "0",
                             "--lobby-registration-limit", "0", "--lobby-output-limit", "0", "--list-interval", "0",
                             "--reply-port", std::to_string(players[0]->Port())},
                            HeadlessServerSetup("/", (folder / "stderr").string()));
        // Every player joins (and so is online to receive every ranking).
        for (int p = 0; p < kPlayers; ++p) {
            bool joined = false;
            for (int i = 0; i < 200 && !joined; ++i) {
                players[static_cast<std::size_t>(p)]->SendTo(12001, "s" + std::to_string(p) + "|pw|fc+|");
                joined = players[static_cast<std::size_t>(p)]->Receive(50).has_value();
            }
            ASSERT_TRUE(joined) << ReadBytes(folder / "stderr");
        }
        const auto takeRankings = [&](int waitMs) {
            int taken = 0;
            for (const auto& peer : players) {
                while (const auto reply = peer->Receive(waitMs)) {
                    waitMs = 0;
                    if (reply->bytes.rfind("ttn|", 0) != 0)
                        continue;
                    ++taken;
                    for (const auto& [nick, score] : RankingEntries(reply->bytes))
                        shown[nick] = std::max(shown[nick], score);
                }
            }
            return taken;
        };
        takeRankings(20);

        // Reports in a stream, a few in flight, until the kill.
        const auto killAt = SteadyClock::now() + std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 400)(random));
        int reports = 0;
        int rankings = 0;
        while (SteadyClock::now() < killAt && reports < 20000) {
            const int p = static_cast<int>(random() % kPlayers);
            players[static_cast<std::size_t>(p)]->SendTo(12001, "s" + std::to_string(p) + "|pw|scj|" + std::to_string(1 + random() % 9));
            ++reports;
            rankings += takeRankings(0);
            const auto deadline = SteadyClock::now() + 3s;
            while (rankings + 8 * kPlayers < reports * kPlayers && SteadyClock::now() < deadline)
                rankings += takeRankings(5);
            ASSERT_LT(SteadyClock::now(), deadline) << "the server stopped answering";
        }
        server.Signal(SIGKILL);
        ASSERT_EQ(server.WaitForExit(10s), std::optional<int>(128 + SIGKILL));
        takeRankings(20); // rankings on their way were sent before the kill

        const std::map<std::string, long> saved = ScoresInRegistry(RegistryAfterRestart(folder.Path()));
        for (const auto& [nick, score] : shown) {
            const auto found = saved.find(nick);
            ASSERT_NE(found, saved.end()) << nick << " was shown in a ranking, then lost to a kill";
            ASSERT_GE(found->second, score) << nick << "'s score " << score << " was shown, then lost to a kill";
        }
    }
    for (int p = 0; p < kPlayers; ++p)
        EXPECT_TRUE(shown.count("s" + std::to_string(p))) << "s" << p << " was never ranked";
    EXPECT_EQ(fs::exists(folder / "cadastro.journal"), large) << "the journal is kept from 10,000 rows on";
}

} // namespace
