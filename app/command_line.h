#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lobby {

// The server's programs: lobby-server, headless and built without Qt, and
// lobby-server-window, which shows its window when there is a display; on Windows one
// lobby-server.exe, in its native window unless --headless.
enum class ProgramKind { Headless, Window, WindowsWindow };

// "lobby-server" or "lobby-server-window".
std::string ProgramName(ProgramKind kind);

// The program's command line. The first argument is the access word; options follow it.
struct CommandLine {
    std::vector<std::string> arguments;   // everything after the program name, as given
    bool help = false;                    // --help alone: print the usage, touch nothing
    bool version = false;                 // --version alone: print the version, touch nothing
    bool checkConfig = false;             // --check-config: check the settings, touch nothing
    bool quiet = false;                   // --quiet: headless, no start line nor status line a minute
    bool headless = false;                // --headless: no window even with a display (lobby-server has none)
    std::optional<std::string> dataFolder; // --dir DIR: registry and logs there, not beside the program
    int listenPort = 12001;               // --listen-port N: where requests arrive (0: any free port)
    int replyPort = 12000;                // --reply-port N: where clients listen for answers
    // Flood protection and registry size; 0 switches each off.
    std::uint32_t rateLimit = 50;         // --rate-limit N: requests a second per address (burst 2N)
    std::uint32_t registrationLimit = 20; // --registration-limit N: new nicks an hour per address
    std::uint32_t sendLimit = 16;         // --send-limit N: KB a second sent to an address silent for 10 minutes
    std::uint32_t lobbyOutputLimit = 100000;   // --lobby-output-limit N: datagrams a second for requests, shared fairly
    std::uint32_t lobbyRegistrationLimit = 10; // --lobby-registration-limit N: new nicks a second in the lobby
    std::int32_t listIntervalMs = 100;    // --list-interval MS: player lists and rankings at most this often (0: at once)
    std::int32_t capacity = 1000000;      // --capacity N: players the registry takes
    // The traffic log's closed days; both off by default.
    bool compressLogs = false;            // --compress-logs: closed days become DATE.txt.gz
    std::int32_t keepLogDays = 0;         // --keep-logs DAYS: older closed days removed (0: none)
    bool maskPasswords = false;           // --mask-passwords: "***" for passwords in the log and the windows
    // The operator's console and the configuration file.
    std::optional<std::string> controlPath; // --control PATH: the console's socket (default: DATA/lobby.sock)
    std::optional<std::string> configFile;  // --config FILE: settings read at start-up and again on reload
    // --metrics-listen ADDR:PORT: the figures over HTTP, for a monitoring system (off by default).
    std::optional<std::string> metricsAddress;
    int metricsPort = 0;
    // The options given on the command line (their names without the dashes): they win over
    // the configuration file.
    std::vector<std::string> given;
};

// What a configuration file's settings did to a command line: the file's settings that the
// command line overrode ("FILE:LINE: dir is given on the command line too, which wins").
struct Configured {
    CommandLine line;
    std::vector<std::string> overridden;
};

// The command line with the configuration file it names (--config) read under it: the file's
// settings first, then the command line's options over them. Without --config, the line as
// it is. A file that cannot be read, a line that is no setting, an unknown key or a bad value
// raises std::invalid_argument "FILE:LINE: key: what is wrong" (or "FILE: reason").
Configured WithConfiguration(const CommandLine& line);

// What a configuration read again while serving changes, for the operator, one entry each:
// "rate-limit 50 -> 20", or, for what only a restart can change, "dir /a/ -> /b/ needs a
// restart".
struct SettingChange {
    std::string text;
    bool needsRestart = false;
};
std::vector<SettingChange> ChangedSettings(const CommandLine& running, const CommandLine& read);
// The settings in force once read has been applied to a lobby running with running: read's,
// but for what only a restart changes, which stays as it runs.
CommandLine InForce(const CommandLine& running, const CommandLine& read);

struct FormEnvironment;
// Copies the flood limits, the registry capacity and what becomes of closed log days of
// the command line into the form's environment.
void ApplyServerLimits(const CommandLine& line, FormEnvironment& environment);

// Reads the options that follow the first argument. Words that are not options are ignored,
// as they always were; an unknown option, or one missing its value, raises
// std::invalid_argument with a message for the operator.
CommandLine ParseCommandLine(int argc, const char* const* argv);

// What --help prints: where the access word goes (never the word itself) and every option.
std::string UsageText(ProgramKind kind);


// Where the files go when --dir names no folder, with a trailing "/": the build's default
// (LOBBY_DEFAULT_DATA_DIR; a package's program must never write beside itself, in /usr/bin),
// or, when the build names none (a build from source), the program's own folder.
std::string DefaultDataFolder();

} // namespace lobby
