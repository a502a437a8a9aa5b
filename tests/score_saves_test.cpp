// Saves after score reports, with the end of each save stepped by the test: what waits for a
// save and what does not, reports covered together, a failed save, and shutdown.
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/linux/epoll_event_loop.h"
#include "platform/exception.h"
#include "platform/system_data_folder.h"
#include "server/registry/registry_file.h"
#include "support/client_texts.h"
#include "support/form_under_test.h"
#include "support/loopback.h"

using namespace lobby;

namespace {

using namespace test_support;

// Holds each save until the test ends it: Complete writes the snapshot taken when the save
// started; Fail ends it with an error and writes nothing. Finish (shutdown) completes it.
class SteppedSaver : public RegistrySaver {
public:
    struct Pending {
        DataFolder* folder;
        std::string name;
        RegistrySnapshot snapshot;
        bool keepText;
        Done done;
        SaveSteps steps;
    };

    void Start(DataFolder& folder, std::string name, RegistrySnapshot snapshot, bool keepText, Done done,
               SaveSteps steps) override
    {
        pending.push_back({&folder, std::move(name), std::move(snapshot), keepText, std::move(done), std::move(steps)});
    }
    void Finish() override
    {
        ++finishes;
        while (!pending.empty())
            Complete();
    }
    void Complete()
    {
        Pending save = std::move(pending.front());
        pending.pop_front();
        RegistrySaveResult result = SaveSnapshot(*save.folder, save.name, save.snapshot, save.keepText, save.steps);
        save.snapshot = {};
        save.done(std::move(result));
    }
    void Fail(const std::string& path)
    {
        Pending save = std::move(pending.front());
        pending.pop_front();
        save.snapshot = {};
        RegistrySaveResult failed;
        failed.error = std::make_exception_ptr(RegistrySaveError("Cannot create file " + path));
        save.done(std::move(failed));
    }

    std::deque<Pending> pending;
    int finishes = 0;
};

class ScoreSavesTest : public testing::Test {
protected:
    ScoreSavesTest()
        : lobby([this](FormEnvironment& environment) {
              environment.makeSaver = [this] {
                  auto stepped = std::make_unique<SteppedSaver>();
                  saver = stepped.get();
                  return std::unique_ptr<RegistrySaver>(std::move(stepped));
              };
          })
    {
        // Each new nick's welcome waits for the save that covers it.
        lobby.Receive("10.0.0.1", "ana|pw|slc|");
        lobby.Receive("10.0.0.2", "bob|pw|slc|");
        EXPECT_THAT(lobby.TakeSent(), IsEmpty());
        while (!saver->pending.empty())
            saver->Complete();
        EXPECT_THAT(lobby.SentTo("10.0.0.2"), ElementsAre(kWelcome, OwnScore("0"), PlayerList({"+ana", "+bob"}),
                                                          Ranking({"ana - 0", "bob - 0"}), kConnected));
        lobby.TakeSent();
    }

    SteppedSaver* saver = nullptr;
    FormUnderTest lobby;
};

TEST_F(ScoreSavesTest, ARankingWaitsForItsSaveAndReportsMeanwhileShareTheNext)
{
    EXPECT_TRUE(lobby.Receive("10.0.0.1", "ana|pw|scj|5"));
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    ASSERT_EQ(saver->pending.size(), 1u);

    // While it is written: bob reports too (his ranking waits for a save of its own, which
    // waits for the one in flight), and a chat goes out at once, to bob first, who leads now.
    EXPECT_TRUE(lobby.Receive("10.0.0.2", "bob|pw|scj|7"));
    EXPECT_TRUE(lobby.Receive("10.0.0.2", "bob|pw|scj|1"));
    EXPECT_TRUE(lobby.Receive("10.0.0.1", "ana|pw|msg|oi"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.2", Chat("ana", "oi")},
                                              SentDatagram{"10.0.0.1", Chat("ana", "oi")}));
    EXPECT_EQ(saver->pending.size(), 1u);

    // The first save ends: it holds ana's score only, and ana's ranking goes out; the next
    // save, covering both of bob's reports, starts at once.
    saver->Complete();
    EXPECT_THAT(lobby.RegistryFile(), HasSubstr(",ana,pw,10.0.0.1,5,+,\r\n,bob,pw,10.0.0.2,0,+,\r\n"));
    const std::string first = Ranking({"ana - 5", "bob - 0"});
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.1", first}, SentDatagram{"10.0.0.2", first}));
    ASSERT_EQ(saver->pending.size(), 1u);

    saver->Complete();
    EXPECT_THAT(lobby.RegistryFile(), HasSubstr(",bob,pw,10.0.0.2,8,+,\r\n,ana,pw,10.0.0.1,5,+,\r\n"));
    const std::string second = Ranking({"bob - 7", "ana - 5"});
    const std::string third = Ranking({"bob - 8", "ana - 5"});
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.2", second}, SentDatagram{"10.0.0.1", second},
                                              SentDatagram{"10.0.0.2", third}, SentDatagram{"10.0.0.1", third}));
    EXPECT_TRUE(saver->pending.empty());
    // Each waiting message was logged when it went out, after the chat.
    EXPECT_EQ(lobby.LogLines().back(), "> 10:20:30 para: 10.0.0.1 " + third);
}

TEST_F(ScoreSavesTest, AJoinShowsTheOwnScoreOnlyOnceItIsOnDiskKeepingItsOrder)
{
    EXPECT_TRUE(lobby.Receive("10.0.0.1", "ana|pw|scj|5"));
    EXPECT_TRUE(lobby.Receive("10.0.0.3", "cy|pw|slc|"));
    // The new nick's whole join waits for the save that puts it on disk, behind ana's ranking,
    // whose save does not cover it.
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    saver->Complete();
    EXPECT_THAT(lobby.SentTo("10.0.0.3"), IsEmpty());
    saver->Complete();
    const std::string list = PlayerList({"+ana", "+bob", "+cy"});
    const std::string ranking = Ranking({"ana - 5", "bob - 0", "cy - 0"});
    EXPECT_THAT(lobby.SentTo("10.0.0.3"), ElementsAre(kWelcome, OwnScore("0"), list, ranking, kConnected));
    EXPECT_THAT(lobby.RegistryFile(), HasSubstr(",cy,pw,10.0.0.3,0,+,\r\n"));
    // With every score on disk, a join is answered at once.
    lobby.TakeSent();
    EXPECT_TRUE(lobby.Receive("10.0.0.3", "cy|pw|slc|"));
    EXPECT_THAT(lobby.SentTo("10.0.0.3"), ElementsAre(OwnScore("0"), list, ranking, kConnected));
    EXPECT_TRUE(saver->pending.empty());
}

TEST_F(ScoreSavesTest, AJoinCostsOneRewriteItsFlagGoesWithTheNext)
{
    EXPECT_TRUE(lobby.Receive("10.0.0.3", "cy|pw|slc|"));
    ASSERT_EQ(saver->pending.size(), 1u);
    saver->Complete();
    EXPECT_THAT(lobby.SentTo("10.0.0.3"), ElementsAre(kWelcome, OwnScore("0"), PlayerList({"+ana", "+bob", "+cy"}),
                                                      Ranking({"ana - 0", "bob - 0", "cy - 0"}), kConnected));
    // The nick is on disk; its "+" alone is no reason to write the whole file again.
    EXPECT_TRUE(saver->pending.empty());
    EXPECT_THAT(lobby.RegistryFile(), HasSubstr(",cy,pw,10.0.0.3,0,-,\r\n"));
    EXPECT_TRUE(lobby.Receive("10.0.0.1", "ana|pw|scj|5"));
    saver->Complete();
    EXPECT_THAT(lobby.RegistryFile(), HasSubstr(",cy,pw,10.0.0.3,0,+,\r\n"));
}

TEST_F(ScoreSavesTest, AFailedSaveIsToldAtOnceItsRankingIsNotSentAndTheNextReportSavesAgain)
{
    // Ten errors of a client's making first: the cap they meet never holds back a failed save.
    for (int i = 0; i < 10; ++i)
        EXPECT_FALSE(lobby.Receive("10.0.0.2", "bob|pw|scj|abc"));
    EXPECT_TRUE(lobby.Receive("10.0.0.1", "ana|pw|scj|5"));
    const std::string before = lobby.RegistryFile();
    saver->Fail(lobby.form->Saves().RegistryPath());
    EXPECT_EQ(lobby.notifier.errors.back().text, "Cannot create file " + lobby.form->Saves().RegistryPath() + ".");
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    EXPECT_EQ(lobby.RegistryFile(), before);
    EXPECT_EQ(lobby.CellOf("ana", Registry::kScore), "5");

    EXPECT_TRUE(lobby.Receive("10.0.0.1", "ana|pw|scj|1"));
    saver->Complete();
    EXPECT_THAT(lobby.RegistryFile(), HasSubstr(",ana,pw,10.0.0.1,6,+,\r\n"));
    EXPECT_THAT(lobby.SentTo("10.0.0.1"), ElementsAre(Ranking({"ana - 6", "bob - 0"})));
}

TEST_F(ScoreSavesTest, ShutdownWaitsForTheSaveInFlightSendsWhatWaitedThenSavesOnceMore)
{
    EXPECT_TRUE(lobby.Receive("10.0.0.1", "ana|pw|scj|5"));
    EXPECT_TRUE(lobby.Receive("10.0.0.2", "bob|pw|scj|9"));
    EXPECT_TRUE(lobby.form->RunHandler([&] { lobby.form->FormDestroy(); }));
    EXPECT_GE(saver->finishes, 1);
    EXPECT_TRUE(saver->pending.empty());
    EXPECT_THAT(lobby.SentTo("10.0.0.2"),
                ElementsAre(Ranking({"ana - 5", "bob - 0"}), Ranking({"bob - 9", "ana - 5"})));
    // Both rankings were logged before the log closed; the final save holds the whole table.
    EXPECT_EQ(lobby.LogLines().back(), "> 10:20:30 para: 10.0.0.1 " + Ranking({"bob - 9", "ana - 5"}));
    EXPECT_THAT(lobby.RegistryFile(), HasSubstr(",bob,pw,10.0.0.2,9,+,\r\n,ana,pw,10.0.0.1,5,+,\r\n"));
}

// The real saver: a save's end arrives on the loop's thread, and Finish also waits for a save
// that an end started (as the lobby starts the save wanted meanwhile).
TEST(BackgroundRegistrySaver, EndsArriveOnTheLoopAndFinishWaitsForASaveStartedFromAnEnd)
{
    TempFolder folder;
    EpollEventLoop loop;
    Registry registry;
    registry.LoadFromText(",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,10.0.0.1,5,-,\r\n");
    BackgroundRegistrySaver saver(loop);
    SystemDataFolder files(folder.Slash());
    const std::string path = (folder / "cadastro.txt").string();
    std::vector<std::thread::id> endedOn;
    std::optional<std::string> savedText;
    saver.Start(files, "cadastro.txt", registry.Snapshot(), false, [&](RegistrySaveResult first) {
        EXPECT_FALSE(first.error);
        endedOn.push_back(std::this_thread::get_id());
        registry.SnapshotReleased();
        registry.SetCell(Registry::kScore, 1, "9");
        saver.Start(files, "cadastro.txt", registry.Snapshot(), true, [&](RegistrySaveResult second) {
            endedOn.push_back(std::this_thread::get_id());
            savedText = second.text;
            registry.SnapshotReleased();
        });
    });
    ASSERT_TRUE(PumpUntil(loop, [&] { return !endedOn.empty(); }));
    saver.Finish();
    ASSERT_EQ(endedOn.size(), 2u);
    EXPECT_EQ(endedOn[0], std::this_thread::get_id());
    EXPECT_EQ(endedOn[1], std::this_thread::get_id());
    EXPECT_EQ(ReadBytes(path), ",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,10.0.0.1,9,-,\r\n");
    EXPECT_EQ(savedText, ReadBytes(path));
}

} // namespace
