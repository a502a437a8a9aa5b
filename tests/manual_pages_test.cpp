// The manual pages are written by hand: every option a program's --help lists must be in its
// page, and the lobby's commands in lobby-client's page and --help alike.
#include <chrono>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/child_program.h"
#include "support/server_program.h"

namespace {

using namespace std::chrono_literals;

std::string PageSource(const std::string& page)
{
    std::ifstream in(std::string(LOBBY_SOURCE_DIR) + "/packaging/man/" + page + ".in");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ManualPages, ListEveryOptionOfTheProgramsHelp)
{
    const struct {
        std::string program;
        std::string page;
    } cases[] = {{test_support::ServerProgramPath(), "lobby-server.8"},
                 {test_support::WindowProgramPath(), "lobby-server-window.1"},
                 {LOBBY_CLIENT_PATH, "lobby-client.1"},
                 {LOBBYCTL_PATH, "lobbyctl.8"}};
    for (const auto& [program, page] : cases) {
        SCOPED_TRACE(page);
        const std::string source = PageSource(page);
        ASSERT_FALSE(source.empty());
        const std::string help = test_support::RunProgram({program, "--help"}, 20s).out;
        // lobby-server-window's page names its own option and refers to lobby-server(8) for the rest.
        const std::string& pageWithOptions = page == "lobby-server-window.1" ? PageSource("lobby-server.8") : source;
        std::set<std::string> options;
        const std::regex option("--([a-z-]+)");
        for (auto it = std::sregex_iterator(help.begin(), help.end(), option); it != std::sregex_iterator(); ++it)
            options.insert(std::regex_replace((*it)[1].str(), std::regex("-"), "\\-"));
        EXPECT_GE(options.size(), 5u) << help;
        // As an option's own entry: ".B --name" or ".BI --name value".
        for (const std::string& name : options)
            EXPECT_TRUE(pageWithOptions.find("B \\-\\-" + name + "\n") != std::string::npos ||
                        pageWithOptions.find("BI \\-\\-" + name + " ") != std::string::npos)
                << "--" << name << " is not in the page";
        if (page == "lobbyctl.8") {
            for (const char* command : {"status", "who", "top", "notice", "kick", "password", "remove", "score", "ban", "unban",
                                        "bans", "save", "reload", "metrics"}) {
                EXPECT_TRUE(std::regex_search(source, std::regex("\\n\\.B[IR]? " + std::string(command) + "[ \\n]")))
                    << command;
                EXPECT_NE(help.find("  " + std::string(command)), std::string::npos) << command;
            }
        }
        if (page != "lobby-client.1")
            continue;
        for (const char* command : {"slc", "msg", "pvt", "fc+", "fc\\-", "scj", "off"}) {
            EXPECT_NE(source.find(command), std::string::npos) << command;
            EXPECT_NE(help.find(std::regex_replace(command, std::regex("\\\\"), "")), std::string::npos) << command;
        }
    }
}

} // namespace
