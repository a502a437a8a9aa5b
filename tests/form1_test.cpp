// The main window's life: start-up check, registry load and save, shutdown, error display.
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/exception.h"
#include "server/lobby/form1.h"
#include "server/registry/registry_file.h"
#include "support/temp_folder.h"

using namespace lobby;

namespace {

class FixedClock : public Clock {
public:
    LocalDateTime Now() const override { return {2026, 12, 6, 9, 5, 7, 0}; }
};

class RecordingNotifier : public OperatorNotifier {
public:
    void ShowError(const std::string& caption, const std::string& text) override
    {
        shown.push_back(caption + ": " + text);
    }
    std::vector<std::string> shown;
};

class FormTest : public testing::Test {
protected:
    std::unique_ptr<TForm1> MakeForm(std::vector<std::string> arguments)
    {
        FormEnvironment environment;
        environment.clock = &clock;
        environment.regional = &regional;
        environment.notifier = &notifier;
        environment.exeName = "/opt/lobby/lobby-server";
        environment.appFolder = folder.Slash();
        environment.arguments = std::move(arguments);
        return std::make_unique<TForm1>(std::move(environment));
    }

    TempFolder folder;
    FixedClock clock;
    RegionalSettings regional{"%d/%m/%Y", "%H:%M:%S", "%I:%M:%S %p", "AM", "PM"};
    RecordingNotifier notifier;
};

TEST_F(FormTest, AFreshStartCreatesTheLogAndAHeaderOnlyRegistry)
{
    auto form = MakeForm({"m5qt4"});
    form->FormCreate();
    form->FormActivate();
    EXPECT_FALSE(form->TerminateRequested());
    EXPECT_TRUE(std::filesystem::exists(folder / "06-12-2026.txt"));
    EXPECT_EQ(form->LogFile.LogDate(), "06-12-2026");
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), ",Nick,Senha,Ip,Pontos,\r\n");
    EXPECT_EQ(form->Cad.RowCount(), 1);
    EXPECT_TRUE(form->Memo1.Text().empty());

    form->Cad.AddPlayer("ana", "pw", "127.0.0.2");
    form->FormDestroy();
    EXPECT_FALSE(form->LogFile.IsOpen());
    const std::string saved = ",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,127.0.0.2,0,-,\r\n";
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), saved);
    EXPECT_EQ(form->Memo1.Text(), saved); // the memo shows the text as last saved
    EXPECT_FALSE(std::filesystem::exists(folder / "cadastro.txt.tmp"));
}

TEST_F(FormTest, FilesHoldingPasswordsAreMadeForTheirOwnerOnlyAndKeepAModeGivenThem)
{
    namespace fs = std::filesystem;
    const auto modes = [&] {
        auto form = MakeForm({"m5qt4"});
        form->FormCreate();
        form->FormActivate();
        form->FormDestroy();
        return std::pair(fs::status(folder / "cadastro.txt").permissions(),
                         fs::status(folder / "06-12-2026.txt").permissions());
    };
    const auto ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
    // A umask that would take the owner's write, and a wide-open temporary file left by a crash.
    const mode_t umaskBefore = ::umask(0);
    WriteBytes(folder / "cadastro.txt.tmp", "half");
    ::umask(0277);
    EXPECT_EQ(modes(), std::pair(ownerOnly, ownerOnly));
    ::umask(umaskBefore);
    for (const char* name : {"cadastro.txt", "06-12-2026.txt"})
        fs::permissions(folder / name, ownerOnly | fs::perms::group_read);
    EXPECT_EQ(modes(), std::pair(ownerOnly | fs::perms::group_read, ownerOnly | fs::perms::group_read));
}

TEST_F(FormTest, OnlyTheExactAccessWordLetsTheServerRun)
{
    const std::vector<std::vector<std::string>> refused = {{}, {"M5QT4"}, {"m5qt4 "}, {"x", "m5qt4"}, {""}};
    for (const auto& arguments : refused) {
        auto form = MakeForm(arguments);
        form->FormActivate();
        EXPECT_TRUE(form->TerminateRequested()) << (arguments.empty() ? "(none)" : arguments[0]);
        EXPECT_TRUE(form->Saves().Loaded()); // the rest of start-up still runs
    }
    // An empty argument is skipped, and words after the access word are ignored.
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"", "m5qt4"}, {"m5qt4", "extra", "--dir"}}) {
        auto form = MakeForm(arguments);
        form->FormActivate();
        EXPECT_FALSE(form->TerminateRequested());
    }
}

TEST_F(FormTest, ARefusedStartWritesTheLoadedRowsBackInTheServersLineForm)
{
    WriteBytes(folder / "cadastro.txt", ",Nick,Senha,Ip,Pontos,\nx,ana,pw,10.0.0.1,5,+,extra,\rbob\r\n");
    auto form = MakeForm({"wrong"});
    form->FormCreate();
    form->FormActivate();
    ASSERT_TRUE(form->TerminateRequested());
    form->FormDestroy();
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), ",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,10.0.0.1,5,+,\r\n,,,,,,\r\n");
}

TEST_F(FormTest, AnUnreadableRegistryIsNeverReplacedNorSavedOver)
{
    std::filesystem::create_directory(folder / "cadastro.txt");
    WriteBytes(folder / "cadastro.txt" / "keep", "players");
    auto form = MakeForm({"m5qt4"});
    form->FormCreate();
    EXPECT_THROW(form->FormActivate(), RegistryUnreadable);
    EXPECT_FALSE(form->Saves().Loaded());
    EXPECT_THROW(form->SaveRegistry(), Exception);
    form->FormDestroy();
    EXPECT_TRUE(std::filesystem::is_directory(folder / "cadastro.txt"));
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt" / "keep"), "players");
}

TEST_F(FormTest, AFailedSaveLeavesTheOldFileWholeAndSaysSo)
{
    auto form = MakeForm({"m5qt4"});
    form->FormActivate();
    form->Cad.AddPlayer("ana", "pw", "127.0.0.2");
    form->SaveRegistry();
    const std::string before = ReadBytes(folder / "cadastro.txt");

    form->Cad.AddPlayer("bob", "pw", "127.0.0.3");
    std::filesystem::create_directory(folder / "cadastro.txt.tmp"); // the temporary file cannot be made
    try {
        form->SaveRegistry();
        FAIL() << "the save did not fail";
    } catch (const RegistrySaveError& error) {
        EXPECT_EQ(error.Message(), "Cannot create file " + folder.Slash() + "cadastro.txt (" + folder.Slash() +
                                       "cadastro.txt.tmp: a folder is in its place)");
    }
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), before);

    // Shown as the window shows errors: caption from the program name ("." is added only
    // after a letter or digit).
    EXPECT_FALSE(form->RunHandler([&] { form->SaveRegistry(); }));
    ASSERT_EQ(notifier.shown.size(), 1u);
    EXPECT_EQ(notifier.shown[0], "lobby-server: Cannot create file " + folder.Slash() + "cadastro.txt (" +
                                     folder.Slash() + "cadastro.txt.tmp: a folder is in its place)");
}

TEST(ErrorBox, CaptionAndTextRules)
{
    EXPECT_EQ(ErrorBoxCaption("/usr/bin/lobby-server"), "lobby-server");
    EXPECT_EQ(ErrorBoxCaption("C:/Jogos/SERVIDOR.Lobby.exe"), "Servidor");
    EXPECT_EQ(ErrorBoxCaption("Z:\\Jogos\\Lobby-Server.exe"), "Lobby-server"); // as Windows gives it
    EXPECT_EQ(ErrorBoxCaption("aBC"), "abc");
    EXPECT_EQ(ErrorBoxText(""), "");
    EXPECT_EQ(ErrorBoxText("Disk full"), "Disk full.");
    EXPECT_EQ(ErrorBoxText("I/O error 32"), "I/O error 32."); // digits sort after "."
    EXPECT_EQ(ErrorBoxText("Done."), "Done.");
    EXPECT_EQ(ErrorBoxText("Why?"), "Why?."); // "?" sorts after ".", "!" before it
    EXPECT_EQ(ErrorBoxText("Ok!"), "Ok!");
    EXPECT_EQ(ErrorBoxText("n\xE3o"), "n\xE3o.");
}

} // namespace
