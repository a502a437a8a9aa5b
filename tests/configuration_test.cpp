// The configuration file under the command line, at start-up and when read again.
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "support/child_program.h"
#include "support/server_program.h"
#include "support/temp_folder.h"

namespace {

using namespace lobby;
using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::HasSubstr;

CommandLine Parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "lobby-server");
    std::vector<const char*> argv;
    for (const std::string& word : words)
        argv.push_back(word.c_str());
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

struct ConfigurationFile : testing::Test {
    TempFolder folder;
    const std::string path = (folder / "lobby.conf").string();
};

TEST_F(ConfigurationFile, IsReadUnderTheCommandLine)
{
    WriteBytes(path, "# comment\n\n  rate-limit = 7\ncompress-logs = yes\r\nkeep-logs=3\ndir = \"/srv/my lobby\"\n");
    const Configured configured = WithConfiguration(Parse({"m5qt4", "--config", path, "--keep-logs", "9"}));
    EXPECT_EQ(configured.line.rateLimit, 7u);
    EXPECT_TRUE(configured.line.compressLogs);
    EXPECT_EQ(configured.line.keepLogDays, 9);
    EXPECT_EQ(configured.line.dataFolder, "/srv/my lobby/");
    EXPECT_THAT(configured.overridden, ElementsAre(path + ":5: keep-logs is given on the command line too, which wins"));
}

TEST_F(ConfigurationFile, AWrongLineIsNamedByFileLineAndKey)
{
    const std::pair<std::string, std::string> cases[] = {
        {"rate-limt = 3", ":2: unknown key \"rate-limt\""},
        {"rate-limit = fast", ":2: rate-limit needs a whole number from 0 to 1000000, not \"fast\""},
        {"quiet = maybe", ":2: quiet is yes or no, not \"maybe\""},
        {"listen-port 12001", ":2: a setting is KEY = VALUE"},
        {"config = other.conf", ":2: unknown key \"config\""},
        {"rate-limit = 3\n# again\nrate-limit = 4", ":4: rate-limit is given on line 2 too"},
    };
    for (const auto& [line, message] : cases) {
        SCOPED_TRACE(line);
        WriteBytes(path, "# first\n" + line + "\n");
        try {
            WithConfiguration(Parse({"m5qt4", "--config", path}));
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_THAT(error.what(), HasSubstr(path + message));
        }
    }
}

TEST_F(ConfigurationFile, ReadAgainItSaysWhatChangedAndWhatWaitsForARestart)
{
    WriteBytes(path, "rate-limit = 7\n");
    const CommandLine running = WithConfiguration(Parse({"m5qt4", "--config", path, "--listen-port", "5000"})).line;
    WriteBytes(path, "rate-limit = 8\nlisten-port = 6000\nreply-port = 7000\ncompress-logs = yes\n");
    const CommandLine read = WithConfiguration(running).line;
    std::vector<std::string> changes;
    for (const SettingChange& change : ChangedSettings(running, read))
        changes.push_back(change.text);
    // The command line's port wins over the file's, so only the reply port differs.
    EXPECT_THAT(changes, ElementsAre("reply-port 12000 -> 7000 needs a restart", "rate-limit 7 -> 8", "compress-logs no -> yes"));
    const CommandLine inForce = InForce(running, read);
    EXPECT_EQ(inForce.replyPort, 12000);
    EXPECT_EQ(inForce.rateLimit, 8u);
}

// What only a restart changes stays named at every reading until a restart, and setting it
// back is no change.
TEST_F(ConfigurationFile, ARestartOnlyKeyStaysNamedUntilARestart)
{
    WriteBytes(path, "list-interval = 100\n");
    CommandLine running = WithConfiguration(Parse({"m5qt4", "--config", path})).line;
    const auto reread = [&](const std::string& text) {
        WriteBytes(path, text);
        const CommandLine read = WithConfiguration(running).line;
        std::vector<std::string> changes;
        for (const SettingChange& change : ChangedSettings(running, read))
            changes.push_back(change.text);
        running = InForce(running, read);
        return changes;
    };
    const std::pair<std::string, std::vector<std::string>> readings[] = {
        {"list-interval = 250\n", {"list-interval 100 -> 250 needs a restart"}},
        {"list-interval = 250\nrate-limit = 9\n", {"rate-limit 50 -> 9", "list-interval 100 -> 250 needs a restart"}},
        {"list-interval = 100\nrate-limit = 9\n", {}},
    };
    for (const auto& [text, expected] : readings) {
        SCOPED_TRACE(text);
        EXPECT_EQ(reread(text), expected);
    }
    EXPECT_EQ(running.listIntervalMs, 100);
}

// The packaged file names every key of the server's options with its default, commented out.
// Every key read again: what a running lobby takes changes at once, what only a restart
// changes is named so and stays as the lobby runs with it.
TEST_F(ConfigurationFile, EveryKeyReadAgainIsTakenOrWaitsForARestart)
{
    WriteBytes(path, "");
    const CommandLine running = WithConfiguration(Parse({"m5qt4", "--config", path})).line;
    const std::pair<std::string, std::string> cases[] = {
        {"headless = yes", "headless no -> yes needs a restart"},
        {"quiet = on", "quiet no -> yes needs a restart"},
        {"dir = /srv/lobby", "dir (the program's folder) -> /srv/lobby/ needs a restart"},
        {"listen-port = 5000", "listen-port 12001 -> 5000 needs a restart"},
        {"reply-port = 5001", "reply-port 12000 -> 5001 needs a restart"},
        {"rate-limit = 7", "rate-limit 50 -> 7"},
        {"registration-limit = 8", "registration-limit 20 -> 8"},
        {"send-limit = 9", "send-limit 16 -> 9"},
        {"lobby-output-limit = 100000000", "lobby-output-limit 100000 -> 100000000"},
        {"lobby-registration-limit = 11", "lobby-registration-limit 10 -> 11"},
        {"list-interval = 60000", "list-interval 100 -> 60000 needs a restart"},
        {"capacity = 0", "capacity 1000000 -> 0"},
        {"compress-logs = 1", "compress-logs no -> yes"},
        {"keep-logs = 36500", "keep-logs 0 -> 36500"},
        {"mask-passwords = true", "mask-passwords no -> yes needs a restart"},
        {"control = /run/lobby/x.sock", "control (lobby.sock in the data folder) -> /run/lobby/x.sock needs a restart"},
        {"metrics-listen = 127.0.0.1:9817", "metrics-listen (off) -> 127.0.0.1:9817 needs a restart"},
    };
    for (const auto& [setting, change] : cases) {
        SCOPED_TRACE(setting);
        WriteBytes(path, setting + "\n");
        const CommandLine read = WithConfiguration(running).line;
        const std::vector<SettingChange> changes = ChangedSettings(running, read);
        ASSERT_EQ(changes.size(), 1u);
        EXPECT_EQ(changes[0].text, change);
        const bool needsRestart = change.ends_with(" needs a restart");
        EXPECT_EQ(changes[0].needsRestart, needsRestart);
        // In force: nothing changed for a restart-only key, the new value for the others.
        const std::vector<SettingChange> inForce = ChangedSettings(running, InForce(running, read));
        EXPECT_EQ(inForce.size(), needsRestart ? 0u : 1u);
    }
}

TEST_F(ConfigurationFile, ThePackagedFileShowsEveryKeyWithItsDefault)
{
    const std::string packaged = ReadBytes(std::string(LOBBY_SOURCE_DIR) + "/packaging/lobby-server.conf");
    std::string defaults;
    const std::regex defaultLine("^#[a-z-]+ = .*$", std::regex::multiline);
    for (std::sregex_iterator it(packaged.begin(), packaged.end(), defaultLine), end; it != end; ++it)
        defaults += it->str().substr(1) + "\n";
    WriteBytes(path, defaults);
    const CommandLine read = WithConfiguration(Parse({"m5qt4", "--config", path})).line;
    std::vector<std::string> changes;
    for (const SettingChange& change : ChangedSettings(Parse({"m5qt4", "--config", path}), read))
        changes.push_back(change.text.substr(0, change.text.find(' ')));
    EXPECT_THAT(changes, ElementsAre("dir", "control", "metrics-listen"))
        << "only the service's folders, and the address suggested for the figures over HTTP, differ from the defaults";
    const std::string help = UsageText(ProgramKind::Window);
    const std::regex option("--([a-z-]+)");
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it) {
        const std::string key = (*it)[1];
        if (key != "help" && key != "version" && key != "config" && key != "check-config") {
            EXPECT_THAT(packaged, HasSubstr("\n#" + key + " = ")) << key;
        }
    }
}

TEST_F(ConfigurationFile, AWrongFileRefusesTheStartWithStatus2BeforeAnyFileIsTouched)
{
    WriteBytes(path, "capacity = -1\n");
    const test_support::ProgramResult result = test_support::RunProgram(
        {test_support::ServerProgramPath(), "m5qt4", "--dir", folder.Path().string(), "--config", path}, 20s);
    EXPECT_EQ(result.status, 2);
    EXPECT_THAT(result.err, HasSubstr("lobby-server: " + path + ":1: capacity needs a whole number"));
    EXPECT_FALSE(std::filesystem::exists(folder / "cadastro.txt"));
}

} // namespace
