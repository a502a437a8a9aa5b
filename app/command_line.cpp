#include "app/command_line.h"

#include <charconv>
#include <climits>
#include <stdexcept>
#include <unistd.h>

#include "server/form1.h"

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

    for (std::size_t i = 1; i < line.arguments.size(); ++i) {
        const std::string& word = line.arguments[i];
        if (word.rfind("--", 0) != 0)
            continue;
        const auto value = [&]() -> std::string {
            if (i + 1 >= line.arguments.size())
                throw std::invalid_argument(word + " needs a value");
            return line.arguments[++i];
        };
        if (word == "--headless") {
            line.headless = true;
        } else if (word == "--quiet") {
            line.quiet = true;
        } else if (word == "--dir") {
            std::string folder = value();
            if (folder.empty())
                throw std::invalid_argument("--dir needs a folder");
            if (folder.back() != '/')
                folder += '/';
            line.dataFolder = folder;
        } else if (word == "--listen-port") {
            line.listenPort = ParsePort(word, value());
        } else if (word == "--reply-port") {
            line.replyPort = ParsePort(word, value());
        } else if (word == "--rate-limit") {
            line.rateLimit = static_cast<std::uint32_t>(ParseCount(word, value(), 1000000));
        } else if (word == "--registration-limit") {
            line.registrationLimit = static_cast<std::uint32_t>(ParseCount(word, value(), 1000000));
        } else if (word == "--send-limit") {
            line.sendLimit = static_cast<std::uint32_t>(ParseCount(word, value(), 1000000));
        } else if (word == "--lobby-output-limit") {
            line.lobbyOutputLimit = static_cast<std::uint32_t>(ParseCount(word, value(), 100000000));
        } else if (word == "--lobby-registration-limit") {
            line.lobbyRegistrationLimit = static_cast<std::uint32_t>(ParseCount(word, value(), 1000000));
        } else if (word == "--list-interval") {
            line.listIntervalMs = static_cast<std::int32_t>(ParseCount(word, value(), 60000));
        } else if (word == "--capacity") {
            line.capacity = static_cast<std::int32_t>(ParseCount(word, value(), 100000000));
        } else if (word == "--compress-logs") {
            line.compressLogs = true;
        } else if (word == "--keep-logs") {
            line.keepLogDays = static_cast<std::int32_t>(ParseCount(word, value(), 36500));
        } else {
            throw std::invalid_argument("unknown option " + word);
        }
    }
    return line;
}

std::string ProgramName(ProgramKind kind)
{
    return kind == ProgramKind::Window ? "lobby-server-window" : "lobby-server";
}

std::string UsageText(ProgramKind kind)
{
    const bool window = kind == ProgramKind::Window;
    return "Usage: " + ProgramName(kind) + " ACCESS-WORD [options]\n"
           "\n" +
           (window ? std::string("The game lobby's server, in a window when there is a display (headless otherwise).\n")
                   : std::string("The game lobby's server, headless (lobby-server-window shows a window).\n")) +
           "The first argument must be the access word (see the manual page); without it the\n"
           "server writes its registry back and ends at once.\n"
           "\n"
           "options (after the access word):\n" +
           (window ? "  --headless          no window, even with a display; errors go to standard error\n"
                   : "  --headless          accepted, as this program never opens a window\n") +
           "  --quiet             headless, print neither the line saying where the server\n"
           "                      serves nor the status line every minute\n"
           "  --dir DIR           keep cadastro.txt and the traffic logs in DIR\n"
           "                      (default: the program's own folder)\n"
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
           "  --help              this text (as the only argument)\n"
           "  --version           the program's version (as the only argument)\n"
           "\n"
           "SIGINT or SIGTERM closes the server (the registry is saved); SIGHUP re-reads the\n"
           "regional date and time settings. See " + (window ? "lobby-server-window(1) and " : "") +
           "lobby-server(8).\n";
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
}

std::string ProgramFolder()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return "./";
    const std::string program(path, static_cast<std::size_t>(length));
    return program.substr(0, program.rfind('/') + 1);
}

} // namespace lobby
