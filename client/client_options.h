#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lobby {

// What one run of lobby-client is asked to do.
struct ClientOptions {
    std::string server = "127.0.0.1";   // --server HOST: where the lobby server runs
    std::uint16_t serverPort = 12001;   // --server-port N: where it takes requests
    std::optional<std::string> from;    // --from ADDRESS: local address to send from (any when unset)
    std::uint16_t port = 12000;         // --port N: local port, where the server answers (0: any free)
    int waitMs = 1000;                  // --wait MS: how long to go on listening after the last reply
    bool listen = false;                // --listen: print replies until interrupted
    bool raw = false;                   // --raw: the words' bytes as given, not turned into the code page
    bool help = false;                  // --help: print the usage and do nothing else
    bool version = false;               // --version: print the version and do nothing else

    // In the lobby's code page (converted from the terminal's UTF-8), or as typed with --raw.
    std::string nick;
    std::string password;
    std::string command;
    std::string argument;               // empty when not given
};

// A command line lobby-client cannot run with; what() is one line for the operator.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the words after the program's name. Options (words starting with "--") may come
// anywhere before "--"; every word after "--" is a plain word, so a nick may start with
// dashes. The plain words are NICK PASSWORD COMMAND [ARGUMENT]; anything else, an unknown
// option, or an option without a valid value raises UsageError. "--help" anywhere wins over
// every other mistake, so asking for help always works; "--version" does the same, after
// "--help". Unless --raw is given, the plain words are turned from UTF-8 into the lobby's
// code page, and a word that cannot be (not UTF-8, or a character the code page lacks)
// raises UsageError.
ClientOptions ParseClientOptions(const std::vector<std::string>& words);

// The request datagram, NICK|PASSWORD|COMMAND|ARGUMENT, with the options' bytes as they
// are (the argument may hold "|" itself, as a private line's target|text does).
std::string RequestText(const ClientOptions& options);

// The full usage text for --help, several lines ending in a newline.
std::string UsageText();

} // namespace lobby
