// lobbyctl: the operator's console of a running lobby. It sends one command over the lobby's
// control socket and prints the answer: for people by default, JSON with --json. Every
// change goes through the lobby itself, so nothing needs the service stopped.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/command_words.h"
#include "platform/default_console.h"
#include "platform/local_client.h"
#include "server/console/console_protocol.h"
#include "server/lobby/ban_list.h"

namespace {

using namespace lobby;

constexpr const char* kSocketInFolder = "lobby.sock";
constexpr int kDefaultTimeoutSeconds = 30;

// Exit statuses.
constexpr int kDone = 0;
constexpr int kRefused = 1;      // the lobby answered that it could not do it
constexpr int kWrongUsage = 2;   // the command line is wrong; nothing was sent
constexpr int kNotRunning = 3;   // no lobby listens on the socket
constexpr int kUnreachable = 4;  // the socket is there but could not be used (permission, time, owner)

// The commands, with how many words follow each (most: -1 for any number, joined by blanks).
struct Command {
    std::string_view name;
    int least;
    int most;
    std::string_view usage;
};
constexpr Command kCommands[] = {
    {"status", 0, 0, "status                  version, uptime, players, traffic, drops, last save, log size,\n"
                     "                          whether rankings are stopped and by which rows"},
    {"who", 0, 0, "who                     the players online, their address and time since their last request"},
    {"top", 0, 1, "top [N]                 the ranking, its N first rows (default 9)"},
    {"notice", 1, -1, "notice TEXT...          sys|TEXT to every player online"},
    {"kick", 1, 1, "kick NICK               take the player offline now"},
    {"password", 2, 2, "password NICK NEW       give the player a new password (on disk when done)"},
    {"remove", 1, 1, "remove NICK             take the player out of the registry (on disk when done)"},
    {"remove", 1, 1, "remove --empty-nick     take every row with an empty nick out of the registry"},
    {"score", 2, 2, "score NICK POINTS       set the player's score, the table sorted and saved as after a report"},
    {"ban", 1, 2, "ban [--nick|address] X  refuse every request of a nick, an IPv4 address or a range\n"
                  "                          (10.0.0.0/8), now and after restarts; --nick: X is a nick"},
    {"unban", 1, 2, "unban [--nick|address] X\n"
                    "                          lift a ban"},
    {"bans", 0, 0, "bans                    the bans in force"},
    {"save", 0, 0, "save                    save the registry now"},
    {"reload", 0, 0, "reload                  read the configuration file and the regional settings again"},
    {"metrics", 0, 0, "metrics                 the figures in Prometheus's text format"},
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string socket; // FindDefaultConsole's when neither --dir nor --socket names one
    bool json = false;
    int timeoutSeconds = kDefaultTimeoutSeconds;
    std::vector<std::string> words; // the command and its arguments
};

std::string UsageText()
{
    std::string text = "Usage: lobbyctl [--dir DIR | --socket PATH] [--json] [--timeout SECONDS] COMMAND [ARGUMENTS]\n"
                       "\n"
                       "The operator's console of a running lobby-server: one command, its answer.\n"
                       "\n"
                       "commands:\n";
    for (const Command& command : kCommands)
        text += "  " + std::string(command.usage) + "\n";
    text += "\n"
            "options (before the command):\n"
            "  --socket PATH       the lobby's control socket (default " + FindDefaultConsole().description + ")\n"
            "  --dir DIR           the socket of a lobby started with --dir DIR: DIR/lobby.sock\n"
            "  --json              answers as JSON, for scripts\n"
            "  --timeout SECONDS   give up after this long (default " + std::to_string(kDefaultTimeoutSeconds) + ")\n"
            "  --help              this text\n"
            "  --version           the program's version\n"
            "\n"
            "Nicks, passwords and texts are typed in UTF-8 and sent in the lobby's code page\n"
            "(Windows-1252); a character it lacks is refused. Exit status: 0 done, 1 refused by the\n"
            "lobby, 2 a wrong command line, 3 no lobby running, 4 the lobby could not be reached.\n"
            "See lobbyctl(8).\n";
    return text;
}

// The words of a ban or an unban as the lobby takes them ("nick" or "address" and the value,
// or the value alone for the lobby to tell which), checked first: an address that is none
// (IPv6, a range that is no range) is a wrong command line, never a nick banned by mistake.
std::vector<std::string> BanWords(std::vector<std::string> arguments)
{
    if (arguments.size() == 2 && arguments[0] == "--nick")
        arguments[0] = "nick";
    else if (arguments.size() == 1 && arguments[0] == "--nick")
        throw UsageError("--nick needs the nick");
    const std::string kind = arguments.size() == 2 ? arguments[0] : "";
    std::string problem;
    if (!BanList::Parse(kind, arguments.back(), problem))
        throw UsageError(problem);
    return arguments;
}

// The request's words for the command name with its arguments; raises UsageError for a
// command not known or given too few or too many of them.
std::vector<std::string> CommandWords(const std::string& name, const std::vector<std::string>& arguments)
{
    const Command* command = nullptr;
    for (const Command& known : kCommands) {
        if (known.name == name && command == nullptr)
            command = &known;
    }
    if (!command)
        throw UsageError("unknown command \"" + name + "\"");
    const int count = static_cast<int>(arguments.size());
    if (count < command->least || (command->most >= 0 && count > command->most))
        throw UsageError("usage: lobbyctl " +
                         std::string(command->usage.substr(0, std::min(command->usage.find("  "), command->usage.find('\n')))));
    std::vector<std::string> words{name};
    if (command->most < 0) {
        // The words of a notice are its text, as the shell split it.
        std::string text;
        for (const std::string& argument : arguments)
            text += (text.empty() ? "" : " ") + argument;
        words.push_back(text);
    } else if (command->name == "ban" || command->name == "unban") {
        const std::vector<std::string> ban = BanWords(arguments);
        words.insert(words.end(), ban.begin(), ban.end());
    } else {
        words.insert(words.end(), arguments.begin(), arguments.end());
    }
    return words;
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    bool dirGiven = false;
    bool socketGiven = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.rfind("--", 0) != 0)
            break;
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw UsageError(word + " needs a value");
            return argv[++i];
        };
        if (word == "--json") {
            options.json = true;
        } else if (word == "--socket") {
            options.socket = value();
            socketGiven = true;
        } else if (word == "--dir") {
            std::string folder = value();
            if (folder.empty())
                throw UsageError("--dir needs a folder");
            options.socket = folder + (folder.back() == '/' || folder.back() == '\\' ? "" : "/") + kSocketInFolder;
            dirGiven = true;
        } else if (word == "--timeout") {
            const std::string text = value();
            char* end = nullptr;
            const long seconds = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || seconds < 1 || seconds > 3600)
                throw UsageError("--timeout needs a number of seconds from 1 to 3600, not \"" + text + "\"");
            options.timeoutSeconds = static_cast<int>(seconds);
        } else {
            throw UsageError("unknown option " + word);
        }
    }
    if (dirGiven && socketGiven)
        throw UsageError("--dir and --socket both name the socket: give one");
    if (i >= argc)
        throw UsageError("no command");
    options.words = CommandWords(argv[i], std::vector<std::string>(argv + i + 1, argv + argc));
    if (!dirGiven && !socketGiven)
        options.socket = FindDefaultConsole().path;
    return options;
}

void PrintError(const Options& options, const std::string& text)
{
    if (options.json) {
        std::printf("{\"error\":%s}\n", console_protocol::JsonText(text).c_str());
        return;
    }
    std::fprintf(stderr, "lobbyctl: %s\n", text.c_str());
}

// Why the lobby could not be reached, in the operator's terms, and the status it ends with.
int Unreached(const Options& options, const LocalExchange& exchange)
{
    switch (exchange.failure) {
    case LocalFailure::NotRunning:
        PrintError(options, "no lobby is running on " + options.socket + " (" + exchange.reason + "); " +
                                kSystemConsole.notRunningHint);
        return kNotRunning;
    case LocalFailure::NotAllowed:
        PrintError(options, "not allowed to use " + options.socket + " (" + exchange.reason + "): " +
                                kSystemConsole.notAllowedHint);
        return kUnreachable;
    case LocalFailure::Untrusted:
        PrintError(options, "will not talk to whoever listens on " + options.socket + ": " + exchange.reason +
                                "; it may not be the lobby, and nothing was sent");
        return kUnreachable;
    case LocalFailure::TimedOut:
        PrintError(options, "the lobby on " + options.socket + " did not answer in " +
                                std::to_string(options.timeoutSeconds) + " s (" + exchange.reason + ")");
        return kUnreachable;
    default:
        PrintError(options, "cannot reach the lobby on " + options.socket + ": " + exchange.reason);
        return kUnreachable;
    }
}

} // namespace

int main(int argc, char** argv)
{
    // UTF-8 words on every system (on Windows from the wide command line), as the texts expect.
    std::vector<std::string> words = CommandWords(argc, argv);
    std::vector<char*> utf8Argv;
    for (std::string& word : words)
        utf8Argv.push_back(word.data());
    utf8Argv.push_back(nullptr);
    argc = static_cast<int>(words.size());
    argv = utf8Argv.data();
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--help") {
            std::fputs(UsageText().c_str(), stdout);
            return kDone;
        }
        if (word == "--version") {
            std::printf("lobbyctl %s\n", LOBBY_VERSION);
            return kDone;
        }
        if (word.substr(0, 2) != "--")
            break; // the command: what follows is its own
    }
    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "lobbyctl: %s (see lobbyctl --help)\n", error.what());
        return kWrongUsage;
    }

    std::vector<std::string> request = options.words;
    if (options.json)
        request.insert(request.begin(), std::string(console_protocol::kJsonWord));
    const LocalExchange exchange = ExchangeOverLocalSocket(options.socket, console_protocol::RequestLine(request),
                                                           options.timeoutSeconds * 1000);
    if (exchange.failure != LocalFailure::None)
        return Unreached(options, exchange);
    const std::optional<console_protocol::Answer> answer = console_protocol::ReadAnswer(exchange.answer);
    if (!answer) {
        PrintError(options, "the program on " + options.socket + " gave no answer a lobby gives");
        return kUnreachable;
    }
    if (answer->ok || options.json) {
        std::fwrite(answer->body.data(), 1, answer->body.size(), stdout);
        return answer->ok ? kDone : kRefused;
    }
    std::fprintf(stderr, "lobbyctl: %s", answer->body.c_str());
    return kRefused;
}
