// The registry's journal: what start-up makes of it after every kind of crash, and that a
// lobby with one keeps every change a player was told of without rewriting the file.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/lobby/save_scheduler.h"
#include "server/registry/journal_file.h"
#include "server/registry/journal_replay.h"
#include "server/registry/journal_writer.h"
#include "support/form_under_test.h"
#include "support/memory_data_folder.h"

using namespace lobby;

namespace {

using Kind = JournalRecord::Kind;

const std::string kOld = ",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,1.1.1.1,5,-,\r\n,bob,pw,1.1.1.2,3,-,\r\n";
// kOld once ana's change 1 (score 10) was folded in.
const std::string kNew = ",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,1.1.1.1,10,-,\r\n,bob,pw,1.1.1.2,3,-,\r\n";

std::string Rec(std::uint64_t seq, Kind kind, std::vector<std::string> fields)
{
    return EncodeRecord(JournalRecord{seq, kind, std::move(fields)});
}

std::string Checkpoint(std::uint64_t seq, const std::string& file)
{
    const FileIdentity identity = IdentityOf(file);
    return Rec(seq, Kind::kCheckpoint, {std::to_string(identity.size), std::to_string(identity.crc)});
}

TEST(RegistryJournal, ReplayAppliesWhatTheFileLacksAndRefusesWhatItCannotTell)
{
    const std::string header = JournalHeader(IdentityOf(kOld), 0);
    const std::string changes = Rec(1, Kind::kNewPlayer, {"cy", "pw", "1.1.1.3"}) + Rec(2, Kind::kScore, {"cy", "70"}) +
                                Rec(3, Kind::kPassword, {"ana", "new"}) + Rec(4, Kind::kFlag, {"ANA", "+"}) +
                                Rec(5, Kind::kRemove, {"bob"});
    const std::string torn = Rec(6, Kind::kScore, {"ana", "99"});
    std::string damaged = header + changes;
    damaged[header.size() + 10] ^= 0x40; // inside the first record, four whole ones after it
    struct Case {
        const char* name;
        std::string file;
        std::string journal;
        bool refused;
        std::size_t applied;
        std::vector<std::string> nicks;  // the table's players after the replay, in row order
        std::string anaScore;
        bool torn;
    };
    const std::vector<Case> cases = {
        {"every kind of change", kOld, header + changes, false, 5, {"cy", "ana"}, "5", false},
        {"a record cut short by a crash", kOld, header + changes + torn.substr(0, torn.size() - 3), false, 5, {"cy", "ana"}, "5", true},
        {"space allocated, never filled", kOld, header + changes + std::string(40, '\0'), false, 5, {"cy", "ana"}, "5", true},
        {"damage with changes after it", kOld, damaged, true, 0, {}, "", false},
        {"a journal for another file", kNew, header + changes, true, 0, {}, "", false},
        {"another file's journal, empty", kNew, header, false, 0, {"ana", "bob"}, "10", false},
        {"a change for a removed player", kOld, header + Rec(1, Kind::kScore, {"zed", "4"}), true, 0, {}, "", false},
        {"a nick registered twice", kOld, header + Rec(1, Kind::kNewPlayer, {"Bob", "x", "1.1.1.9"}), true, 0, {}, "", false},
        {"no header", kOld, changes, true, 0, {}, "", false},
        // A rewrite of the file: checkpoint, rename, restart. Killed before the rename the old
        // file is there and everything applies; after it, the checkpoint names the new file
        // and only what came after it applies.
        {"killed before the rename", kOld,
         header + Rec(1, Kind::kScore, {"ana", "10"}) + Checkpoint(1, kNew) + Rec(2, Kind::kScore, {"ana", "20"}), false, 2,
         {"ana", "bob"}, "20", false},
        {"killed between rename and restart", kNew,
         header + Rec(1, Kind::kScore, {"ana", "10"}) + Checkpoint(1, kNew) + Rec(2, Kind::kScore, {"ana", "20"}), false, 1,
         {"ana", "bob"}, "20", false},
        {"restarted: old changes are skipped", kNew, JournalHeader(IdentityOf(kNew), 1) + Rec(1, Kind::kNewPlayer, {"ana", "x", "y"}) +
         Rec(2, Kind::kScore, {"ana", "20"}), false, 1, {"ana", "bob"}, "20", false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Registry table;
        table.LoadFromText(test.file);
        const ParsedJournal parsed = ParseJournal(test.journal);
        if (test.refused) {
            EXPECT_THROW(ReplayJournal(table, parsed, IdentityOf(test.file), {"cadastro.txt", "cadastro.journal"}), JournalRefused);
            continue;
        }
        const ReplayOutcome outcome = ReplayJournal(table, parsed, IdentityOf(test.file), {"cadastro.txt", "cadastro.journal"});
        EXPECT_EQ(outcome.applied, test.applied);
        EXPECT_EQ(outcome.kept.size(), test.applied);
        EXPECT_EQ(outcome.tornBytes != 0, test.torn);
        std::vector<std::string> nicks;
        for (int row = 1; row < table.RowCount(); ++row) {
            nicks.emplace_back(table.Cell(Registry::kNick, row));
            EXPECT_EQ(table.Cell(Registry::kMarker, row), "") << "replayed players start offline";
        }
        EXPECT_EQ(nicks, test.nicks);
        const int ana = table.NickRow("ana");
        if (ana != 0) {
            EXPECT_EQ(table.Cell(Registry::kScore, ana), test.anaScore);
        }
    }
}

// The changes appended while a rewrite runs survive it: the restarted journal holds them, and
// a failed append leaves no part of a record behind for later ones to follow.
TEST(RegistryJournal, ARestartKeepsTheChangesAfterItsCheckpoint)
{
    test_support::MemoryDataFolder folder;
    JournalFile journal(folder, "cadastro.journal");
    journal.Open(IdentityOf(kOld), 0, {}, false);
    const auto group = [](std::uint64_t seq, const char* score) {
        return std::vector<EncodedRecord>{{seq, Rec(seq, Kind::kScore, {"ana", score})}};
    };
    journal.Append(group(1, "10"));
    journal.Checkpoint(IdentityOf(kNew), 1); // the rewrite's snapshot holds change 1
    journal.Append(group(2, "20"));           // made while the rewrite ran
    journal.Restart();
    journal.Append(group(1, "10"));           // a late group the new file holds: dropped

    const ParsedJournal parsed = ParseJournal(folder.files.at("cadastro.journal"));
    EXPECT_TRUE(parsed.headerValid);
    EXPECT_EQ(parsed.extends, IdentityOf(kNew));
    EXPECT_EQ(parsed.base, 1u);
    ASSERT_EQ(parsed.records.size(), 1u);
    EXPECT_EQ(parsed.records[0].seq, 2u);
    EXPECT_EQ(parsed.records[0].fields[1], "20");
}

// A large lobby (the threshold lowered to its size): a report and a new nick reach the
// journal, not the file, before their answers leave; a kill then loses neither, and the file
// written at shutdown holds them with the journal empty.
TEST(RegistryJournal, ALobbyKilledAfterItsAnswersKeepsWhatItToldFromTheJournal)
{
    const auto journalling = [](FormEnvironment& environment) { environment.journalFromRows = 0; };
    test_support::FormUnderTest lobby(journalling);
    lobby.LoadRegistryFile(kOld);
    lobby.form->SaveRegistry(); // the journal starts with the file
    lobby.Join("10.0.0.7", "cy");
    lobby.TakeSent();
    ASSERT_TRUE(lobby.Receive("10.0.0.7", "cy|pw|scj|42"));
    ASSERT_FALSE(lobby.TakeSent().empty()) << "the ranking went out";
    EXPECT_EQ(lobby.RegistryFile(), kOld) << "the file is not rewritten for a report";

    const std::string file = lobby.RegistryFile();
    const std::string journal = ReadBytes(lobby.folder / "cadastro.journal");
    test_support::FormUnderTest after([&](FormEnvironment& environment) {
        environment.journalFromRows = 0;
        WriteBytes(std::filesystem::path(environment.appFolder) / "cadastro.txt", file);
        WriteBytes(std::filesystem::path(environment.appFolder) / "cadastro.journal", journal);
    });
    EXPECT_EQ(after.CellOf("cy", Registry::kScore), "42");
    EXPECT_EQ(after.CellOf("cy", Registry::kPassword), "pw");
    ASSERT_EQ(after.notifier.notices.size(), 1u);
    EXPECT_NE(after.notifier.notices[0].text.find("change(s) from the registry journal"), std::string::npos);

    after.form->FormDestroy();
    EXPECT_NE(after.RegistryFile().find(",cy,pw,10.0.0.7,42,+,"), std::string::npos);
    EXPECT_TRUE(ParseJournal(ReadBytes(after.folder / "cadastro.journal")).records.empty());
}

} // namespace

namespace {

// What a start on a file and a journal left by an earlier run tells, and what a run after it
// keeps: a torn end is cut off before anything is appended behind it; a journal for another
// file refuses the start, naming both files.
TEST(RegistryJournal, AStartTellsWhatItFoundAndAppendsOnlyBehindWholeRecords)
{
    const std::string header = JournalHeader(IdentityOf(kOld), 0);
    const std::string torn = Rec(2, Kind::kScore, {"ana", "99"});
    struct Case {
        const char* name;
        std::string file;
        std::string journal;
        bool starts;
        std::vector<std::string> told; // a part of each notice, in order
    };
    const std::vector<Case> cases = {
        {"a torn end", kOld, header + Rec(1, Kind::kScore, {"ana", "30"}) + torn.substr(0, 7), true,
         {"cut short (7 bytes", "1 change(s)"}},
        {"nothing to apply", kOld, header, true, {}},
        {"another file's changes", kNew, header + Rec(1, Kind::kScore, {"ana", "30"}), false, {}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const auto prepared = [&](FormEnvironment& environment) {
            environment.journalFromRows = 0;
            WriteBytes(std::filesystem::path(environment.appFolder) / "cadastro.txt", test.file);
            WriteBytes(std::filesystem::path(environment.appFolder) / "cadastro.journal", test.journal);
        };
        if (!test.starts) {
            try {
                test_support::HandDrivenForm refused(prepared);
                ADD_FAILURE() << "the start was not refused";
            } catch (const std::runtime_error&) {
            }
            continue;
        }
        test_support::FormUnderTest lobby(prepared);
        ASSERT_EQ(lobby.notifier.notices.size(), test.told.size());
        for (std::size_t i = 0; i < test.told.size(); ++i)
            EXPECT_NE(lobby.notifier.notices[i].text.find(test.told[i]), std::string::npos) << lobby.notifier.notices[i].text;
        // A report appended now must apply after what came before it.
        lobby.Join("10.0.0.7", "cy");
        ASSERT_TRUE(lobby.Receive("10.0.0.7", "cy|pw|scj|8"));
        Registry table;
        table.LoadFromText(lobby.RegistryFile());
        const ReplayOutcome outcome = ReplayJournal(table, ParseJournal(ReadBytes(lobby.folder / "cadastro.journal")),
                                                    IdentityOf(lobby.RegistryFile()), {"cadastro.txt", "cadastro.journal"});
        EXPECT_EQ(outcome.tornBytes, 0u);
        EXPECT_EQ(table.Cell(Registry::kScore, table.NickRow("cy")), "8");
    }
}

// Reports past a tenth of the file (at least 64 KB of journal) fold it into the file, and the
// journal starts anew with only what came after.
TEST(RegistryJournal, AGrownJournalIsFoldedIntoTheFile)
{
    test_support::FormUnderTest lobby([](FormEnvironment& environment) {
        environment.journalFromRows = 0;
        environment.floodLimits.requestsPerSecond = 0; // one player reports them all
    });
    lobby.LoadRegistryFile(kOld);
    const std::string cy(250, 'c'); // long records: fewer of them fill the journal
    lobby.Join("10.0.0.7", cy);
    for (int report = 0; report < 400; ++report)
        ASSERT_TRUE(lobby.Receive("10.0.0.7", cy + "|pw|scj|1"));
    EXPECT_NE(lobby.RegistryFile(), kOld) << "the file was rewritten";
    const std::string journal = ReadBytes(lobby.folder / "cadastro.journal");
    EXPECT_LT(journal.size(), 64u * 1024u);
    Registry table;
    table.LoadFromText(lobby.RegistryFile());
    ReplayJournal(table, ParseJournal(journal), IdentityOf(lobby.RegistryFile()), {"cadastro.txt", "cadastro.journal"});
    EXPECT_EQ(table.Cell(Registry::kScore, table.NickRow(cy)), "400");
    EXPECT_THAT(lobby.notifier.errors, testing::IsEmpty());
}

} // namespace

namespace {

// Fails the groups it is told to, as a full disk would, and appends the others.
class FailingWriter : public JournalWriter {
public:
    void Start(JournalFile& journal, std::vector<EncodedRecord> group, Done done) override
    {
        if (failNext) {
            failNext = false;
            done(std::make_exception_ptr(RegistrySaveError("Stream write error (cadastro.journal: No space left on device)")));
            return;
        }
        done(AppendGroup(journal, group));
    }
    void Finish() override {}
    bool failNext = false;
};

// A group that fails shows nothing it held; the next change rewrites the whole file (a later
// group must not reach the journal without the failed one), and then the journal goes on.
TEST(RegistryJournal, AFailedAppendShowsNothingAndTheNextChangeRewritesTheFile)
{
    FailingWriter* writer = nullptr;
    test_support::FormUnderTest lobby([&](FormEnvironment& environment) {
        environment.journalFromRows = 0;
        environment.makeJournalWriter = [&] {
            auto made = std::make_unique<FailingWriter>();
            writer = made.get();
            return made;
        };
    });
    lobby.LoadRegistryFile(kOld);
    lobby.form->SaveRegistry();
    lobby.Join("10.0.0.7", "cy");
    lobby.TakeSent();
    const auto rankingSent = [&] {
        const std::vector<std::string> sent = lobby.SentTo("10.0.0.7");
        lobby.TakeSent();
        return std::any_of(sent.begin(), sent.end(), [](const std::string& bytes) { return bytes.rfind("ttn|", 0) == 0; });
    };

    writer->failNext = true;
    EXPECT_FALSE(lobby.Receive("10.0.0.7", "cy|pw|scj|5"));
    EXPECT_FALSE(rankingSent()) << "the score is on no disk";
    ASSERT_FALSE(lobby.notifier.errors.empty());
    EXPECT_NE(lobby.notifier.errors.back().text.find("Stream write error"), std::string::npos);

    const std::string before = lobby.RegistryFile();
    EXPECT_TRUE(lobby.Receive("10.0.0.7", "cy|pw|scj|6"));
    EXPECT_TRUE(rankingSent());
    EXPECT_NE(lobby.RegistryFile().find(",cy,pw,10.0.0.7,11,"), std::string::npos) << "rewritten, the failed report with it";

    const std::string rewritten = lobby.RegistryFile();
    EXPECT_TRUE(lobby.Receive("10.0.0.7", "cy|pw|scj|1"));
    EXPECT_TRUE(rankingSent());
    EXPECT_EQ(lobby.RegistryFile(), rewritten) << "the journal takes changes again";
    Registry table;
    table.LoadFromText(rewritten);
    ReplayJournal(table, ParseJournal(ReadBytes(lobby.folder / "cadastro.journal")), IdentityOf(rewritten),
                  {"cadastro.txt", "cadastro.journal"});
    EXPECT_EQ(table.Cell(Registry::kScore, table.NickRow("cy")), "12");
    EXPECT_NE(before, rewritten);
}

} // namespace
