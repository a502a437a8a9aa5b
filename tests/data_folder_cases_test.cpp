// The data folder as an operator or an attacker leaves it: registry files the load cannot
// read whole, rows that stop sorts, symbolic links planted under the lobby's file names. The
// lobby must lose no byte unheard, write nothing through a link, and go on saving.
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/hand_driven_form.h"

using namespace lobby;

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using namespace test_support;
using testing::HasSubstr;

const std::string kHeader = ",Nick,Senha,Ip,Pontos,,\r\n";
const std::string kAna = ",ana,pw,10.0.0.1,5,-,\r\n";

struct FileCase {
    const char* name;
    std::string registry;  // cadastro.txt as found
    std::string link;      // a file name planted as a symbolic link to a file outside
    bool starts;           // the server starts on it
    std::string keptWhy;   // the reason the copy kept beside names; empty: none is kept
    std::string told;      // what the operator is told at the start
    std::string saveFails; // what a score report's failed save says; empty: it saves
};

TEST(DataFolderCases, NothingIsLostUnheardNorWrittenThroughALink)
{
    const FileCase cases[] = {
        {"a blank line", kHeader + kAna + "\r\n,bob,pw,10.0.0.2,3,-,\r\n", "", true, "",
         "cadastro.txt, line 3, is blank, so score reports are not ranked until the line is removed", ""},
        {"a score that is no integer", kHeader + kAna + ",bob,pw,10.0.0.2,12abc,-,\r\n", "", true, "",
         "cadastro.txt, line 3, player \"bob\": the score \"12abc\" is no integer, so score reports are not ranked", ""},
        {"a NUL byte", kHeader + kAna + ",bob,pw,10.0\0.0.2,3,-,\r\n,cy,pw,10.0.0.3,1,-,\r\n"s, "", true, "nul-byte",
         "a NUL byte on line 3 ends what is read", ""},
        {"an over-long line", kHeader + kAna + ",bob,pw," + std::string(5000, '9') + ",3,-,\r\n", "", true,
         "long-line", "1 line(s) over 4096 characters are cut, the first line 3", ""},
        {"text past the cells", kHeader + ",ana,pw,10.0.0.1,5,-,x,y\r\n,bob,pw,10.0.0.2,3,-\r\n", "", true,
         "extra-text", "2 line(s) hold text after their last comma or past the sixth cell, the first line 2", ""},
        {"a link as the temporary file", kHeader + kAna, "cadastro.txt.tmp", true, "", "",
         "cadastro.txt.tmp: a symbolic link is in its place, and the server never follows one"},
        {"a link as the day's log", kHeader + kAna, "07-12-2026.txt", true, "",
         "07-12-2026.txt: it is a symbolic link, which the server never follows", ""},
        {"a link as the registry", "", "cadastro.txt", false, "", "", ""},
    };
    for (const FileCase& test : cases) {
        SCOPED_TRACE(test.name);
        TempFolder outside;
        const fs::path target = outside / "passwords-go-here";
        WriteBytes(target, "untouched");
        std::unique_ptr<HandDrivenForm> lobby;
        const auto plant = [&](FormEnvironment& environment) {
            const fs::path folder = environment.appFolder;
            if (!test.registry.empty())
                WriteBytes(folder / "cadastro.txt", test.registry);
            if (!test.link.empty())
                fs::create_symlink(target, folder / test.link);
        };
        try {
            lobby = std::make_unique<HandDrivenForm>(plant);
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(lobby != nullptr, test.starts);
        EXPECT_EQ(ReadBytes(target), "untouched");
        if (!lobby)
            continue;
        const std::string told = lobby->notifier.AllTold();
        EXPECT_THAT(told, HasSubstr(test.told));

        // The file as found, whole, beside it, under a name that says when and why.
        const std::string kept = "cadastro.txt.2026-12-07-102030." + test.keptWhy;
        if (!test.keptWhy.empty()) {
            EXPECT_THAT(told, HasSubstr("is kept as " + (lobby->folder / kept).string()));
            EXPECT_EQ(ReadBytes(lobby->folder / kept), test.registry);
            struct stat status {};
            ASSERT_EQ(::stat((lobby->folder / kept).c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 0777, 0600u);
        }
        std::size_t files = 0;
        for (const auto& entry : fs::directory_iterator(lobby->folder.Path()))
            files += entry.path().filename().string().rfind("cadastro.txt.2", 0) == 0 ? 1 : 0;
        EXPECT_EQ(files, test.keptWhy.empty() ? 0u : 1u);

        // A score report saves whatever stands in the table, or says loudly why it cannot.
        lobby->notifier.errors.clear();
        lobby->Receive("10.0.0.1", "ana|pw|scj|1");
        const std::string file = lobby->RegistryFile();
        if (test.saveFails.empty()) {
            EXPECT_EQ(file, lobby->form->Cad.SaveToText());
            EXPECT_THAT(file, HasSubstr(",ana,pw,10.0.0.1,6,"));
        } else {
            EXPECT_EQ(file, test.registry);
            EXPECT_THAT(lobby->notifier.AllTold(), HasSubstr(test.saveFails));
            EXPECT_TRUE(fs::is_symlink(lobby->folder / test.link));
        }
        EXPECT_EQ(ReadBytes(target), "untouched");
    }
}

} // namespace
