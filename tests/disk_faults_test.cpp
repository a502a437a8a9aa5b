// Faults of the disk under a running lobby: a folder that is or becomes unwritable, and a disk
// that fills up. Each must reach the operator, the lobby must go on serving, and the registry
// file must never be left partial nor replaced by less than it held.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/client_texts.h"
#include "support/form_under_test.h"
#include "support/loopback.h"
#include "support/private_network.h"
#include "support/server_program.h"
#include "support/small_tmpfs.h"
#include "support/temp_folder.h"

using namespace lobby;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace test_support;

// Makes a folder immutable while it lives: nothing can be created, renamed or removed in it,
// root included (permission bits do not stop root, which the tests run as). Files already
// open stay writable. Failure() says why the folder could not be made so.
class UnwritableFolder {
public:
    explicit UnwritableFolder(const fs::path& folder) : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        int flags = 0;
        if (fd_ < 0 || ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) != 0) {
            failure_ = std::string("cannot read the folder's flags: ") + std::strerror(errno);
            return;
        }
        flags |= FS_IMMUTABLE_FL;
        if (::ioctl(fd_, FS_IOC_SETFLAGS, &flags) != 0) {
            failure_ = std::string("cannot make the folder immutable: ") + std::strerror(errno);
            return;
        }
        set_ = true;
    }
    ~UnwritableFolder() { Lift(); }
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;

    const std::string& Failure() const { return failure_; }

    // Makes the folder writable again.
    void Lift()
    {
        if (set_) {
            int flags = 0;
            ::ioctl(fd_, FS_IOC_GETFLAGS, &flags);
            flags &= ~FS_IMMUTABLE_FL;
            EXPECT_EQ(::ioctl(fd_, FS_IOC_SETFLAGS, &flags), 0) << std::strerror(errno);
            set_ = false;
        }
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool set_ = false;
    std::string failure_;
};

std::vector<std::string> Texts(const std::vector<OperatorError>& errors)
{
    std::vector<std::string> texts;
    for (const OperatorError& error : errors)
        texts.push_back(error.text);
    return texts;
}

TEST(FolderFaults, AFolderThatBecomesUnwritableIsReportedAndTheLobbyGoesOn)
{
    FormUnderTest lobby;
    lobby.Join("10.0.0.5", "ana");
    ASSERT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|scj|7"));
    const std::string saved = lobby.RegistryFile();
    ASSERT_THAT(saved, HasSubstr(",ana,pw,10.0.0.5,7,+,\r\n"));
    lobby.TakeSent();

    UnwritableFolder unwritable(lobby.folder.Path());
    if (!unwritable.Failure().empty())
        GTEST_SKIP() << unwritable.Failure();

    // The save fails and says so; the file keeps what it held.
    EXPECT_FALSE(lobby.Receive("10.0.0.5", "ana|pw|scj|5"));
    EXPECT_THAT(Texts(lobby.notifier.errors),
                ElementsAre("Cannot create file " + (lobby.folder / "cadastro.txt").string() + " (" +
                            (lobby.folder / "cadastro.txt.tmp").string() + ": Operation not permitted)"));
    EXPECT_EQ(lobby.RegistryFile(), saved);
    EXPECT_FALSE(fs::exists(lobby.folder / "cadastro.txt.tmp"));

    // A new day whose log cannot be created: told once, and chat is still served. The score
    // that is not on disk (12) is shown to nobody: a join tries the save again, is told of
    // its failure, and sends nothing from the score on.
    lobby.clock.now.day = 8;
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|msg|oi"));
    EXPECT_EQ(lobby.notifier.errors.size(), 2u);
    EXPECT_FALSE(lobby.Receive("10.0.0.5", "ana|pw|slc|"));
    EXPECT_EQ(lobby.notifier.errors.size(), 3u);
    EXPECT_THAT(lobby.SentTo("10.0.0.5"), ElementsAre(Chat("ana", "oi")));

    // Writable again: the next score report saves everything, the day's log starts.
    unwritable.Lift();
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|scj|1"));
    EXPECT_THAT(lobby.RegistryFile(), HasSubstr(",ana,pw,10.0.0.5,13,+,\r\n"));
    EXPECT_THAT(lobby.LogText(), HasSubstr("ana|pw|scj|1\r\n"));
    EXPECT_EQ(lobby.notifier.errors.size(), 3u);
}

TEST(FolderFaults, AnUnwritableFolderWithoutARegistryWelcomesNobodyUntilItSaves)
{
    TempFolder folder;
    SteppingClock clock;
    RegionalSettings regional{"%d/%m/%Y", "%H:%M:%S", "%I:%M:%S %p", "AM", "PM"};
    RecordingNotifier notifier;
    RecordingEndpoint* endpoint = nullptr;
    FormEnvironment environment = RecordingEnvironment(clock, regional, notifier, endpoint, folder.Slash());
    TForm1 form(std::move(environment));

    UnwritableFolder unwritable(folder.Path());
    if (!unwritable.Failure().empty())
        GTEST_SKIP() << unwritable.Failure();
    // Start-up as the program runs it: each step's error is shown, the next step still runs.
    EXPECT_FALSE(form.RunHandler([&] { form.FormCreate(); }));
    EXPECT_FALSE(form.RunHandler([&] { form.FormActivate(); }));
    ASSERT_EQ(notifier.errors.size(), 2u);
    EXPECT_EQ(notifier.errors[1].text, "Cannot create file " + (folder / "cadastro.txt").string() + " (" +
                                           (folder / "cadastro.txt.tmp").string() + ": Operation not permitted)");

    // The lobby starts from an empty registry, as with a fresh file; a new nick cannot reach
    // the disk, so it is welcomed by nothing (and the program itself refuses to start on
    // such a folder).
    ASSERT_TRUE(form.Saves().Loaded());
    EXPECT_EQ(form.Cad.RowCount(), 1);
    EXPECT_EQ(form.Cad.Cell(Registry::kNick, 0), "Nick");
    EXPECT_FALSE(form.RunHandler([&] { form.UDP1DataReceived(*endpoint, 11, "10.0.0.5", 5555, "ana|pw|slc|"); }));
    EXPECT_EQ(endpoint->sent.size(), 0u);
    EXPECT_EQ(notifier.errors.size(), 3u);

    // Writable again: the player's next request saves the nick, then answers.
    unwritable.Lift();
    EXPECT_TRUE(form.RunHandler([&] { form.UDP1DataReceived(*endpoint, 12, "10.0.0.5", 5555, "ana|pw|scj|3"); }));
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), ",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,10.0.0.5,3,-,\r\n");
    EXPECT_EQ(endpoint->sent.size(), 1u);
    EXPECT_EQ(notifier.errors.size(), 3u);
}

// The built server's data folder: one that is missing is made, with the folders above it, for
// the owner only; one that cannot be made or written refuses the start with one line naming
// the folder and the reason, before a file is touched.
TEST(FolderFaults, ADataFolderIsMadeWhenMissingOrTheStartIsRefusedSayingWhy)
{
    TempFolder folder;
    WriteBytes(folder / "file", "");
    fs::create_directory(folder / "frozen");
    UnwritableFolder frozen(folder / "frozen");
    const struct {
        fs::path dir;
        int status; // 2: started, then ended for the wrong access word
        std::string said;
    } cases[] = {
        {folder / "new" / "deeper", 2, "access word"},
        {folder / "file" / "sub", 1,
         "lobby-server: the data folder " + (folder / "file/sub/").string() + " cannot be made (" +
             (folder / "file/sub").string() + ": Not a directory)\n"},
        {folder / "frozen", 1,
         "lobby-server: the data folder " + (folder / "frozen/").string() + " cannot be written: Operation not permitted.\n"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.dir.string());
        if (test.dir.filename() == "frozen" && !frozen.Failure().empty())
            continue; // made immutable only where the file system allows it
        const ProgramResult result =
            RunProgram({ServerProgramPath(), "wrong", "--dir", test.dir.string(), "--listen-port", "0"}, 20s,
                       HeadlessServerSetup("/", ""));
        EXPECT_EQ(result.status, std::optional<int>(test.status));
        EXPECT_THAT(result.err, HasSubstr(test.said));
        EXPECT_EQ(fs::exists(test.dir / "cadastro.txt"), test.status == 2);
    }
    for (const fs::path& made : {folder / "new", folder / "new" / "deeper"})
        EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_all);
}

// The built server with its folder on a tmpfs of 256 KiB, in network and mount namespaces of
// its own; one client at 127.0.0.2.
class FullDisk : public testing::Test {
protected:
    void SetUp() override
    {
        if (!network.Failure().empty())
            GTEST_SKIP() << network.Failure();
        program = folder / "lobby-server";
        fs::copy_file(ServerProgramPath(), program);
        fs::create_directory(data);
        disk.emplace(data.string(), 256 * 1024);
        if (!disk->Failure().empty())
            GTEST_SKIP() << disk->Failure();
        client.emplace("127.0.0.2");
        ChildSetup setup = HeadlessServerSetup("/", (folder / "stderr").string());
        setup.mountNamespace = disk->MountNamespace();
        server.emplace(std::vector<std::string>{program.string(), "m5qt4", "--headless", "--dir", data.string(),
                                                "--reply-port", std::to_string(client->Port())},
                       setup);
    }

    std::string OnDisk(const std::string& name) const { return ReadBytes(disk->Path((data / name).string())); }
    std::string Stderr() const { return ReadBytes(folder / "stderr"); }

    // Sends request and collects the replies that come within a short while.
    std::vector<std::string> Ask(const std::string& request, std::size_t expected)
    {
        client->SendTo(12001, request);
        std::vector<std::string> replies;
        while (replies.size() < expected) {
            const auto reply = client->Receive(3000);
            if (!reply)
                break;
            replies.push_back(reply->bytes);
        }
        // Nothing more may follow the replies expected.
        if (const auto extra = client->Receive(expected == 0 ? 300 : 100))
            replies.push_back(extra->bytes);
        return replies;
    }

    // Fills the tmpfs up to the last byte with a file of its own.
    void FillDisk()
    {
        const int fd = ::open(disk->Path((data / "filler").string()).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        const std::string block(4096, 'f');
        for (int i = 0; i < 1000; ++i) {
            if (::write(fd, block.data(), block.size()) < 0)
                break;
        }
        for (int i = 0; i < 4096; ++i) {
            if (::write(fd, "f", 1) < 0)
                break;
        }
        ::close(fd);
    }

    PrivateNetwork network;
    TempFolder folder;
    fs::path program;
    fs::path data = folder / "data";
    std::optional<SmallTmpfs> disk;
    std::optional<LoopbackPeer> client;
    std::optional<ChildProgram> server;
};

TEST_F(FullDisk, IsReportedOnceWhileTheLobbyGoesOnAndTheRegistryStaysWhole)
{
    // Up once a request is answered; bounded.
    std::vector<std::string> welcome;
    for (int i = 0; i < 100 && welcome.empty(); ++i) {
        client->SendTo(12001, "ana|pw|zzz|");
        if (const auto reply = client->Receive(100))
            welcome.push_back(reply->bytes);
    }
    ASSERT_THAT(welcome, ElementsAre(kWelcome)) << Stderr();
    ASSERT_THAT(Ask("ana|pw|scj|7", 1), ElementsAre(Ranking({"ana - 7"})));
    const std::string saved = OnDisk("cadastro.txt");
    ASSERT_EQ(saved, ",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,127.0.0.2,7,-,\r\n");

    FillDisk();
    // Chat still flows (enough of it to need more room for the log than is left), and a
    // score report changes the score; only its save fails (so its ranking is not sent), and
    // the file keeps what it held. A join, which would show the score not on disk, tries the
    // save again and sends nothing when it fails.
    const std::string text(100, 'x');
    for (int i = 0; i < 40; ++i)
        ASSERT_THAT(Ask("ana|pw|msg|" + text, 1), ElementsAre(Chat("ana", text))) << "chat " << i << Stderr();
    EXPECT_THAT(Ask("ana|pw|scj|5", 0), IsEmpty());
    EXPECT_THAT(Ask("ana|pw|slc|", 0), IsEmpty());
    EXPECT_EQ(OnDisk("cadastro.txt"), saved);
    EXPECT_FALSE(fs::exists(disk->Path((data / "cadastro.txt.tmp").string())));
    const std::string reported = Stderr();
    EXPECT_THAT(reported, HasSubstr("lobby-server: Stream write error (" + (data / "cadastro.txt.tmp").string() +
                                    ": No space left on device)"));
    // The log's trouble is told once, not once a line.
    const auto first = reported.find("Disk full");
    ASSERT_NE(first, std::string::npos) << reported;
    EXPECT_EQ(reported.find("Disk full", first + 1), std::string::npos) << reported;

    // Room again: the next report saves the score, and the log takes lines again.
    fs::remove(disk->Path((data / "filler").string()));
    EXPECT_THAT(Ask("ana|pw|scj|1", 1), ElementsAre(Ranking({"ana - 13"})));
    EXPECT_EQ(OnDisk("cadastro.txt"), ",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,127.0.0.2,13,+,\r\n");
    server->Signal(SIGTERM);
    EXPECT_EQ(server->WaitForExit(10s), std::optional<int>(0)) << Stderr();
    std::string logs;
    for (const auto& entry : fs::directory_iterator(disk->Path(data.string()))) {
        if (entry.path().filename() != "cadastro.txt")
            logs += ReadBytes(entry.path());
    }
    EXPECT_THAT(logs, HasSubstr(" ana|pw|scj|1\r\n"));
    EXPECT_EQ(logs.substr(logs.size() - 2), "\r\n");
}

} // namespace
