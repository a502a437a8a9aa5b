#include "app/command_line.h"

#include <charconv>
#include <climits>
#include <stdexcept>
#include <unistd.h>

#include "server/form1.h"

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
        } else if (word == "--capacity") {
            line.capacity = static_cast<std::int32_t>(ParseCount(word, value(), 100000000));
        } else {
            throw std::invalid_argument("unknown option " + word);
        }
    }
    return line;
}

void ApplyServerLimits(const CommandLine& line, FormEnvironment& environment)
{
    environment.floodLimits.requestsPerSecond = line.rateLimit;
    environment.floodLimits.registrationsPerHour = line.registrationLimit;
    environment.capacity = line.capacity;
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
