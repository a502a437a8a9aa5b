#pragma once

// The built lobby-server and lobby-server-window, for tests that run a program whole as a
// ChildProgram.

#include <chrono>
#include <filesystem>
#include <string>

#include "support/child_program.h"

namespace test_support {

using namespace lobby;
// What the tests of whole programs name files and waits with.
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Where the build put the server.
inline std::string ServerProgramPath()
{
    return LOBBY_SERVER_PATH;
}

inline std::string WindowProgramPath()
{
    return LOBBY_SERVER_WINDOW_PATH;
}

// How the process tests start the server: headless whatever the test's session has (no
// display is named), with the C locale's regional settings (so the day's log is named as the
// test expects), from startFolder, its standard error to errorFile, which the test reads as
// the run goes on; a pipe would need reading lest the server block on a full one.
inline ChildSetup HeadlessServerSetup(const std::string& startFolder, const std::string& errorFile)
{
    ChildSetup setup;
    setup.environment = {{"DISPLAY", std::nullopt},
                         {"WAYLAND_DISPLAY", std::nullopt},
                         {"QT_QPA_PLATFORM", std::nullopt},
                         {"LC_ALL", "C"}};
    setup.folder = startFolder;
    setup.errorFile = errorFile;
    return setup;
}

} // namespace test_support
