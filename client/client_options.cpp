#include "client/client_options.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "client/code_page_text.h"

namespace lobby {

namespace {

constexpr int kMaxWaitMs = 600000;

// The whole word as a decimal number from low to high; nothing else is accepted (no sign,
// no spaces, no trailing letters), so a typo never turns into some other port.
int Number(const std::string& option, const std::string& word, int low, int high)
{
    int value = 0;
    const char* end = word.data() + word.size();
    const auto [stop, error] = std::from_chars(word.data(), end, value);
    const bool digitsOnly = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digitsOnly || error != std::errc() || stop != end || value < low || value > high)
        throw UsageError(option + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not \"" + word + "\"");
    return value;
}

// Whether option stands among the options, that is before any "--".
bool AsksFor(const std::vector<std::string>& words, const std::string& option)
{
    for (const std::string& word : words) {
        if (word == "--")
            return false;
        if (word == option)
            return true;
    }
    return false;
}

bool TakesValue(const std::string& option)
{
    return option == "--server" || option == "--server-port" || option == "--from" || option == "--port" ||
           option == "--wait";
}

// Sets the option that takes a value (TakesValue) from the word after it.
void SetValue(ClientOptions& options, const std::string& option, const std::string& value)
{
    if (option == "--server")
        options.server = value;
    else if (option == "--from")
        options.from = value;
    else if (option == "--server-port")
        options.serverPort = static_cast<std::uint16_t>(Number(option, value, 1, 65535));
    else if (option == "--port")
        options.port = static_cast<std::uint16_t>(Number(option, value, 0, 65535));
    else
        options.waitMs = Number(option, value, 0, kMaxWaitMs);
}

// The request's words, NICK PASSWORD COMMAND [ARGUMENT], in the code page unless --raw.
void SetRequest(ClientOptions& options, const std::vector<std::string>& plain)
{
    if (plain.size() < 3)
        throw UsageError("needs NICK PASSWORD COMMAND [ARGUMENT]");
    if (plain.size() > 4)
        throw UsageError("too many words: put the ARGUMENT in quotes when it holds spaces");
    options.nick = plain[0];
    options.password = plain[1];
    options.command = plain[2];
    if (plain.size() == 4)
        options.argument = plain[3];
    if (options.raw)
        return;
    options.nick = CodePageText(options.nick, "nick");
    options.password = CodePageText(options.password, "password");
    options.command = CodePageText(options.command, "command");
    options.argument = CodePageText(options.argument, "argument");
}

} // namespace

ClientOptions ParseClientOptions(const std::vector<std::string>& words)
{
    ClientOptions options;
    if (AsksFor(words, "--help")) {
        options.help = true;
        return options;
    }
    if (AsksFor(words, "--version")) {
        options.version = true;
        return options;
    }

    std::vector<std::string> plain;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || !word.starts_with("--")) {
            plain.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == "--listen") {
            options.listen = true;
            continue;
        }
        if (word == "--raw") {
            options.raw = true;
            continue;
        }
        if (!TakesValue(word))
            throw UsageError("unknown option " + word);
        if (i + 1 == words.size())
            throw UsageError(word + " needs a value");
        SetValue(options, word, words[++i]);
    }
    SetRequest(options, plain);
    return options;
}

std::string RequestText(const ClientOptions& options)
{
    return options.nick + "|" + options.password + "|" + options.command + "|" + options.argument;
}

std::string UsageText()
{
    return "Usage: lobby-client [OPTION...] NICK PASSWORD COMMAND [ARGUMENT]\n"
           "Sends NICK|PASSWORD|COMMAND|ARGUMENT to the lobby server and prints its replies,\n"
           "one per line, in UTF-8 (control bytes as \\r \\n \\t \\xNN, backslash as \\\\).\n"
           "\n"
           "  --server HOST       the server's name or address (default 127.0.0.1)\n"
           "  --server-port N     the port it takes requests on (default 12001)\n"
           "  --from ADDRESS      send from this local address (default: any)\n"
           "  --port N            the local port, where the server answers (default 12000)\n"
           "  --wait MS           stop once no reply came for MS milliseconds (default 1000;\n"
           "                      at most 5 s in all, or MS when longer)\n"
           "  --listen            go on printing until interrupted (Ctrl+C)\n"
           "  --raw               send the words' bytes as given; without it they are turned\n"
           "                      from UTF-8 into the lobby's code page (Windows-1252)\n"
           "  --help              this text\n"
           "  --version           the program's version\n"
           "\n"
           "The lobby's commands (the first request of an unknown NICK registers it):\n"
           "  slc                 join the game: the score, the player list and the ranking\n"
           "  msg TEXT            say TEXT to every player online\n"
           "  pvt 'NICK|TEXT'     say TEXT to the player NICK alone\n"
           "  fc+, fc-            set the flag shown before the nick in the player list to + or -\n"
           "  scj POINTS          add POINTS (a whole number, may be negative) to the score\n"
           "  off                 leave the game; the others are told\n"
           "Any other command only logs the player in. Other players' replies reach this\n"
           "address too when they play from the same one (tests on one machine).\n"
           "\n"
           "Exit status: 0 done, 1 the request could not be sent (unknown host, port taken),\n"
           "2 bad command line.\n";
}

} // namespace lobby
