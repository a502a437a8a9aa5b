#include "app/server_run.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "app/lobby_run.h"
#include "app/standard_error_notifier.h"
#include "platform/standard_error.h"
#include "platform/system_event_loop.h"

namespace lobby {

void SayOnStandardError(ProgramKind kind, const std::string& text)
{
    WriteErrorLine(ProgramName(kind), text);
}

std::optional<int> ReadCommandLine(int argc, char** argv, ProgramKind kind, CommandLine& commandLine)
{
    try {
        commandLine = ParseCommandLine(argc, argv);
    } catch (const std::invalid_argument& error) {
        SayOnStandardError(kind, std::string(error.what()) + " (see " + ProgramName(kind) + " --help)");
        return 2;
    }
    if (!commandLine.help && !commandLine.version) {
        // The configuration file is read before any file is touched: a setting it cannot take
        // refuses the start as a wrong option does, naming the file, the line and the key.
        try {
            Configured configured = WithConfiguration(commandLine);
            for (const std::string& note : configured.overridden)
                SayOnStandardError(kind, note);
            commandLine = std::move(configured.line);
        } catch (const std::invalid_argument& error) {
            SayOnStandardError(kind, error.what());
            return 2;
        }
    }
    if (commandLine.checkConfig) {
        // Nothing is touched: what the service manager runs before a reload (and an operator
        // before a restart), so a mistake fails the reload with the lobby as it was.
        std::printf("%s: the settings are good\n",
                    commandLine.configFile ? commandLine.configFile->c_str() : "the command line (no --config FILE)");
        return 0;
    }
    if (commandLine.help) {
        std::fputs(UsageText(kind).c_str(), stdout);
        return 0;
    }
    if (commandLine.version) {
        // The build gives LOBBY_VERSION, the project's version in CMakeLists.txt.
        std::printf("%s %s\n", ProgramName(kind).c_str(), LOBBY_VERSION);
        return 0;
    }
    return std::nullopt;
}

int RunServer(const CommandLine& commandLine, const std::string& exeName, FrontEnd frontEnd)
{
    LobbyRun run(commandLine, exeName, std::move(frontEnd));
    return run.Run();
}

int RunHeadless(const CommandLine& commandLine, const std::string& exeName, ProgramKind program)
{
    try {
        const std::unique_ptr<SystemEventLoop> loop = MakeSystemEventLoop();
        StandardErrorNotifier notifier;
        return RunServer(commandLine, exeName, FrontEnd{*loop, notifier, [&] { loop->Run(); }, program});
    } catch (const std::exception& error) {
        SayOnStandardError(program, error.what());
        return 1;
    }
}

} // namespace lobby
