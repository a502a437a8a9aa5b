#include "app/command_line.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include "platform/file_bytes.h"
#include "platform/program_folder.h"
#include "server/lobby/form1.h"

namespace lobby {

namespace {

int ParsePort(const std::string& option, const std::string& value)
{
    int port = -1;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
    if (error != std::errc() || end != value.data() + value.size() || port < 0 || port > 65535)
        throw std::invalid_argument(option + " needs a port number from 0 to 65535, not \"" + value + "\"");
    return port;
}

// A count from 0 to max, for the limit options.
std::int64_t ParseCount(const std::string& option, const std::string& value, std::int64_t max)
{
    std::int64_t count = -1;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
    if (error != std::errc() || end != value.data() + value.size() || count < 0 || count > max)
        throw std::invalid_argument(option + " needs a whole number from 0 to " + std::to_string(max) + ", not \"" +
                                    value + "\"");
    return count;
}

// One option of the command line, which is also a key of the configuration file (its name
// without the dashes) unless it says otherwise. A switch takes no value on the command line
// and yes or no in the file.
struct Option {
    std::string_view name;
    bool takesValue;
    bool inFile;
    // Sets the option in line; label names it in errors ("--rate-limit", or "rate-limit" in
    // a file), value is "yes" or "no" for a switch.
    void (*apply)(CommandLine& line, const std::string& label, const std::string& value);
    std::string (*show)(const CommandLine& line);
    // Set for what the running lobby cannot take a new value of: puts the running value back
    // over the one read again, so that it stays in force until a restart.
    void (*keepRunning)(CommandLine& read, const CommandLine& running);
};

std::string YesNo(bool value)
{
    return value ? "yes" : "no";
}

std::string Folder(const std::string& label, std::string folder)
{
    if (folder.empty())
        throw std::invalid_argument(label + " needs a folder");
    if (folder.back() != '/')
        folder += '/';
    return folder;
}

// The table's setters and readers of one member of CommandLine, so that an option of a
// common kind is one line of the table.

// A switch: value is "yes" or "no".
template <auto Member>
void SetSwitch(CommandLine& line, const std::string&, const std::string& value)
{
    line.*Member = value == "yes";
}

template <auto Member>
std::string ShowSwitch(const CommandLine& line)
{
    return YesNo(line.*Member);
}

template <auto Member>
void SetPort(CommandLine& line, const std::string& label, const std::string& value)
{
    line.*Member = ParsePort(label, value);
}

// A count from 0 to Max, stored in the member's own type (Max fits it).
template <auto Member, std::int64_t Max>
void SetCount(CommandLine& line, const std::string& label, const std::string& value)
{
    using Stored = std::remove_cvref_t<decltype(line.*Member)>;
    line.*Member = static_cast<Stored>(ParseCount(label, value, Max));
}

template <auto Member>
std::string ShowNumber(const CommandLine& line)
{
    return std::to_string(line.*Member);
}

// The running values of Members put back over the ones read.
template <auto... Members>
void Keep(CommandLine& read, const CommandLine& running)
{
    ((read.*Members = running.*Members), ...);
}

// "ADDR:PORT" for --metrics-listen: a dotted IPv4 address (127.0.0.1 for this machine only,
// 0.0.0.0 for every address) and a port from 1 to 65535. An empty value switches it off.
void ParseListenAddress(CommandLine& line, const std::string& label, const std::string& value)
{
    if (value.empty()) {
        line.metricsAddress.reset();
        return;
    }
    const std::size_t colon = value.rfind(':');
    const std::string address = colon == std::string::npos ? value : value.substr(0, colon);
    int dots = 0;
    bool digits = !address.empty();
    for (const char c : address) {
        dots += c == '.';
        digits = digits && ((c >= '0' && c <= '9') || c == '.');
    }
    if (colon == std::string::npos || !digits || dots != 3)
        throw std::invalid_argument(label + " needs ADDRESS:PORT, an IPv4 address such as 127.0.0.1:9817, not \"" +
                                    value + "\"");
    const int port = ParsePort(label, value.substr(colon + 1));
    if (port == 0)
        throw std::invalid_argument(label + " needs a port from 1 to 65535, not 0");
    line.metricsAddress = address;
    line.metricsPort = port;
}

// Short, so that most options are one line of the table.
using L = CommandLine;

constexpr Option kOptions[] = {
    // A run that checks the settings serves nothing, so it never reads them again.
    {"check-config", false, false, SetSwitch<&L::checkConfig>, [](const CommandLine&) { return std::string(); }, nullptr},
    {"headless", false, true, SetSwitch<&L::headless>, ShowSwitch<&L::headless>, Keep<&L::headless>},
    {"quiet", false, true, SetSwitch<&L::quiet>, ShowSwitch<&L::quiet>, Keep<&L::quiet>},
    {"dir", true, true,
     [](CommandLine& l, const std::string& label, const std::string& v) { l.dataFolder = Folder(label, v); },
     [](const CommandLine& l) { return l.dataFolder.value_or("(the program's folder)"); }, Keep<&L::dataFolder>},
    {"listen-port", true, true, SetPort<&L::listenPort>, ShowNumber<&L::listenPort>, Keep<&L::listenPort>},
    {"reply-port", true, true, SetPort<&L::replyPort>, ShowNumber<&L::replyPort>, Keep<&L::replyPort>},
    {"rate-limit", true, true, SetCount<&L::rateLimit, 1000000>, ShowNumber<&L::rateLimit>, nullptr},
    {"registration-limit", true, true, SetCount<&L::registrationLimit, 1000000>, ShowNumber<&L::registrationLimit>,
     nullptr},
    {"send-limit", true, true, SetCount<&L::sendLimit, 1000000>, ShowNumber<&L::sendLimit>, nullptr},
    {"lobby-output-limit", true, true, SetCount<&L::lobbyOutputLimit, 100000000>, ShowNumber<&L::lobbyOutputLimit>,
     nullptr},
    {"lobby-registration-limit", true, true, SetCount<&L::lobbyRegistrationLimit, 1000000>,
     ShowNumber<&L::lobbyRegistrationLimit>, nullptr},
    // The pacer's interval is fixed when the lobby is made.
    {"list-interval", true, true, SetCount<&L::listIntervalMs, 60000>, ShowNumber<&L::listIntervalMs>,
     Keep<&L::listIntervalMs>},
    {"capacity", true, true, SetCount<&L::capacity, 100000000>, ShowNumber<&L::capacity>, nullptr},
    {"compress-logs", false, true, SetSwitch<&L::compressLogs>, ShowSwitch<&L::compressLogs>, nullptr},
    {"keep-logs", true, true, SetCount<&L::keepLogDays, 36500>, ShowNumber<&L::keepLogDays>, nullptr},
    // The windows' views are made with the lobby.
    {"mask-passwords", false, true, SetSwitch<&L::maskPasswords>, ShowSwitch<&L::maskPasswords>,
     Keep<&L::maskPasswords>},
    {"control", true, true,
     [](CommandLine& l, const std::string& label, const std::string& v) {
         if (v.empty())
             throw std::invalid_argument(label + " needs the path of a socket");
         l.controlPath = v;
     },
     [](const CommandLine& l) { return l.controlPath.value_or("(lobby.sock in the data folder)"); },
     Keep<&L::controlPath>},
    // The listening socket is made once, at start-up.
    {"metrics-listen", true, true, ParseListenAddress,
     [](const CommandLine& l) {
         return l.metricsAddress ? *l.metricsAddress + ":" + std::to_string(l.metricsPort) : std::string("(off)");
     },
     Keep<&L::metricsAddress, &L::metricsPort>},
    {"config", true, false,
     [](CommandLine& l, const std::string& label, const std::string& v) {
         if (v.empty())
             throw std::invalid_argument(label + " needs a file");
         l.configFile = v;
     },
     [](const CommandLine& l) { return l.configFile.value_or(""); }, Keep<&L::configFile>},
};

const Option* FindOption(std::string_view name)
{
    for (const Option& option : kOptions) {
        if (option.name == name)
            return &option;
    }
    return nullptr;
}

// Applies the options among the words after the first to line. Words that are not options
// are ignored, as they always were.
void ApplyOptions(CommandLine& line, const std::vector<std::string>& words)
{
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.rfind("--", 0) != 0)
            continue;
        const Option* option = FindOption(std::string_view(word).substr(2));
        if (!option)
            throw std::invalid_argument("unknown option " + word);
        std::string value = "yes";
        if (option->takesValue) {
            if (i + 1 >= words.size())
                throw std::invalid_argument(word + " needs a value");
            value = words[++i];
        }
        option->apply(line, word, value);
        line.given.emplace_back(option->name);
    }
}

std::string Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

// A switch's value in a file as "yes" or "no"; raises naming label otherwise.
std::string SwitchValue(const std::string& label, const std::string& value)
{
    if (value == "yes" || value == "true" || value == "on" || value == "1")
        return "yes";
    if (value == "no" || value == "false" || value == "off" || value == "0")
        return "no";
    throw std::invalid_argument(label + " is yes or no, not \"" + value + "\"");
}

// Records where key is set; raises naming both lines when an earlier line set it already:
// taking the last one silently would leave the operator who edits the first seeing nothing
// change.
void RefuseRepeatedKey(std::vector<std::pair<std::string, int>>& seen, const std::string& key, int number,
                       const std::string& where)
{
    const auto earlier = std::find_if(seen.begin(), seen.end(), [&](const auto& entry) { return entry.first == key; });
    if (earlier != seen.end())
        throw std::invalid_argument(where + key + " is given on line " + std::to_string(earlier->second) +
                                    " too; keep one of the two lines");
    seen.emplace_back(key, number);
}

} // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv)
{
    CommandLine line;
    for (int i = 1; i < argc; ++i)
        line.arguments.emplace_back(argv[i]);
    if (line.arguments.size() == 1 && line.arguments[0] == "--help") {
        line.help = true;
        return line;
    }
    if (line.arguments.size() == 1 && line.arguments[0] == "--version") {
        line.version = true;
        return line;
    }
    // The settings alone are checked, so no access word comes first.
    if (!line.arguments.empty() && line.arguments[0] == "--check-config")
        line.checkConfig = true;
    ApplyOptions(line, line.arguments);
    return line;
}

// The file is "KEY = VALUE" lines; blank lines and lines starting with "#" say nothing. A
// value may stand in double quotes (to keep blanks at its ends).
Configured WithConfiguration(const CommandLine& line)
{
    Configured result{line, {}};
    if (!line.configFile)
        return result;
    const std::string& path = *line.configFile;
    std::optional<std::string> text;
    try {
        text = ReadWholeFile(path);
    } catch (const std::exception& error) {
        throw std::invalid_argument(error.what());
    }
    if (!text)
        throw std::invalid_argument("cannot read " + path + ": no such file");

    CommandLine configured;
    configured.arguments = line.arguments;
    configured.configFile = line.configFile;
    configured.checkConfig = line.checkConfig;
    std::vector<std::pair<std::string, int>> seen; // each key and the line that set it
    int number = 0;
    for (std::size_t pos = 0; pos < text->size();) {
        std::size_t end = text->find('\n', pos);
        if (end == std::string::npos)
            end = text->size();
        const std::string entry = Trimmed(std::string_view(*text).substr(pos, end - pos));
        pos = end + 1;
        ++number;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (entry.empty() || entry.front() == '#')
            continue;
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos)
            throw std::invalid_argument(where + "a setting is KEY = VALUE, not \"" + entry + "\"");
        const std::string key = Trimmed(std::string_view(entry).substr(0, equals));
        std::string value = Trimmed(std::string_view(entry).substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        const Option* option = FindOption(key);
        if (!option || !option->inFile)
            throw std::invalid_argument(where + "unknown key \"" + key + "\"");
        RefuseRepeatedKey(seen, key, number, where);
        if (!option->takesValue)
            value = SwitchValue(where + key, value);
        try {
            option->apply(configured, key, value);
        } catch (const std::invalid_argument& error) {
            throw std::invalid_argument(where + error.what());
        }
        if (std::find(line.given.begin(), line.given.end(), key) != line.given.end())
            result.overridden.push_back(where + key + " is given on the command line too, which wins");
    }
    // The command line over the file.
    ApplyOptions(configured, configured.arguments);
    result.line = std::move(configured);
    return result;
}

std::vector<SettingChange> ChangedSettings(const CommandLine& running, const CommandLine& read)
{
    std::vector<SettingChange> changes;
    for (const Option& option : kOptions) {
        const std::string was = option.show(running);
        const std::string now = option.show(read);
        if (was == now)
            continue;
        const bool restartOnly = option.keepRunning != nullptr;
        changes.push_back({std::string(option.name) + " " + was + " -> " + now + (restartOnly ? " needs a restart" : ""),
                           restartOnly});
    }
    return changes;
}

CommandLine InForce(const CommandLine& running, const CommandLine& read)
{
    // Every value only a restart changes stays as the lobby runs with it, so that the next
    // reading names it again as waiting for a restart, and setting it back is no change.
    CommandLine result = read;
    for (const Option& option : kOptions) {
        if (option.keepRunning)
            option.keepRunning(result, running);
    }
    return result;
}

std::string ProgramName(ProgramKind kind)
{
    return kind == ProgramKind::Window ? "lobby-server-window" : "lobby-server";
}

namespace {

// The build's data folder, empty for a build from source.
constexpr std::string_view kBuiltDataFolder = LOBBY_DEFAULT_DATA_DIR;

// The options both programs take, after those that differ between them.
std::string SharedOptionsText(const std::string& defaultFolder)
{
    return "  --quiet             headless, print neither the line saying where the server\n"
           "                      serves nor the status line every minute\n"
           "  --dir DIR           keep cadastro.txt and the traffic logs in DIR, made when\n"
           "                      missing (default: " + defaultFolder + ")\n"
           "  --listen-port N     receive requests on UDP port N (default 12001; 0: any free port)\n"
           "  --reply-port N      answer to port N of the clients (default 12000)\n"
           "  --rate-limit N      requests a second from one address, bursts of 2N (default 50;\n"
           "                      0: no limit)\n"
           "  --registration-limit N\n"
           "                      new nicks an hour from one address (default 20; 0: no limit)\n"
           "  --send-limit N      kilobytes a second sent to an address that has sent no request\n"
           "                      for 10 minutes, bursts of 4N (default 16; 0: no limit on\n"
           "                      sending, copies of one datagram to one address included)\n"
           "  --lobby-output-limit N\n"
           "                      datagrams a second the whole lobby sends for requests (chat,\n"
           "                      private lines, answers), shared fairly between the addresses\n"
           "                      that cause them (default 100000; 0: no limit)\n"
           "  --lobby-registration-limit N\n"
           "                      new nicks a second in the whole lobby, bursts of 10N; those\n"
           "                      over it wait their turn (default 10; 0: no limit)\n"
           "  --list-interval MS  the player list and the ranking go out at most every MS\n"
           "                      milliseconds after a run of 8, changes between them merged\n"
           "                      (default 100; 0: every change at once)\n"
           "  --capacity N        players the registry takes (default 1000000; 0: no limit)\n"
           "  --compress-logs     compress each closed day of the traffic log to DATE.txt.gz\n"
           "                      (read it with zcat or zgrep); off by default\n"
           "  --keep-logs DAYS    remove closed days of the traffic log older than DAYS days,\n"
           "                      plain or compressed (default 0: keep every day)\n"
           "  --mask-passwords    write every password as *** in the traffic log and show it so\n"
           "                      in the window (cadastro.txt keeps them); off by default\n"
           "  --control PATH      the operator's console: the local socket lobbyctl talks to\n"
           "                      (default: lobby.sock in the data folder)\n"
           "  --metrics-listen ADDRESS:PORT\n"
           "                      serve the figures of lobbyctl metrics over HTTP (GET\n"
           "                      /metrics, for Prometheus) on ADDRESS:PORT, e.g.\n"
           "                      127.0.0.1:9817 (default: off)\n"
           "  --config FILE       read the settings of FILE first (KEY = VALUE, the keys are\n"
           "                      these options' names); the command line wins over it\n"
           "  --check-config      check the command line and the configuration file, touching\n"
           "                      no file: status 0 when they are good, 2 (naming the file, the\n"
           "                      line and the key) when not\n"
           "  --help              this text (as the only argument)\n"
           "  --version           the program's version (as the only argument)\n";
}

} // namespace

std::string UsageText(ProgramKind kind)
{
    const bool window = kind != ProgramKind::Headless;
    const std::string about =
        kind == ProgramKind::Window          ? "in a window when there is a display (headless otherwise)"
        : kind == ProgramKind::WindowsWindow ? "in its window (headless in the console with --headless)"
                                             : "headless (lobby-server-window shows a window)";
    const std::string defaultFolder =
        kBuiltDataFolder.empty() ? std::string("the program's own folder") : std::string(kBuiltDataFolder);
    return "Usage: " + ProgramName(kind) + " ACCESS-WORD [options]\n"
           "       " + ProgramName(kind) + " --check-config [--config FILE] [options]\n"
           "\n" +
           "The game lobby's server, " + about + ".\n"
           "The first argument must be the access word (see the manual page); without it the\n"
           "server writes its registry back and ends at once.\n"
           "\n"
           "options (after the access word):\n" +
           (window ? "  --headless          no window, even with a display; errors go to standard error\n"
                   : "  --headless          accepted, as this program never opens a window\n") +
           (kind == ProgramKind::WindowsWindow
                ? "  --service           run by the Windows service manager, headless (sc create NAME\n"
                  "                      binPath= \"lobby-server.exe WORD --service --dir DIR\"); a stop saves\n"
                : "") +
           SharedOptionsText(defaultFolder) +
           "\n"
           "SIGINT or SIGTERM closes the server (the registry is saved); SIGHUP (or lobbyctl\n"
           "reload) reads the configuration file and the regional date and time settings again.\n"
           "See " + (window ? "lobby-server-window(1), " : "") + "lobby-server(8) and lobbyctl(8).\n";
}

void ApplyServerLimits(const CommandLine& line, FormEnvironment& environment)
{
    environment.floodLimits.requestsPerSecond = line.rateLimit;
    environment.floodLimits.registrationsPerHour = line.registrationLimit;
    environment.floodLimits.silentSendKilobytesPerSecond = line.sendLimit;
    environment.floodLimits.lobbyDatagramsPerSecond = line.lobbyOutputLimit;
    environment.floodLimits.lobbyRegistrationsPerSecond = line.lobbyRegistrationLimit;
    environment.snapshotIntervalMs = line.listIntervalMs;
    environment.capacity = line.capacity;
    environment.logKeeping.compress = line.compressLogs;
    environment.logKeeping.keepDays = line.keepLogDays;
    environment.maskPasswords = line.maskPasswords;
}

std::string DefaultDataFolder()
{
    if (kBuiltDataFolder.empty())
        return ProgramFolder();
    std::string folder(kBuiltDataFolder);
    if (folder.back() != '/')
        folder += '/';
    return folder;
}

} // namespace lobby
