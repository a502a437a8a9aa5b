#pragma once

// What the load generator and the bare comparison server agree on, kept free of I/O so the
// tests can check it: where simulated client i lives, how a request template becomes client
// i's request, how latency percentiles are read off the samples, and how their command lines are read.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace load_plan {

// Client addresses run 127.0.1.1 .. 127.0.254.254, skipping host bytes 0 and 255 so no
// address looks like a network or broadcast address to anyone reading a trace, and leaving
// 127.0.0.x to the server and to other tools.
constexpr int kHostsPerBlock = 254;
constexpr int kMaxClients = kHostsPerBlock * kHostsPerBlock;

// The dotted text of client index's address. Raises std::out_of_range outside
// 0..kMaxClients-1, so two clients can never be handed the same address.
inline std::string ClientAddress(int index)
{
    if (index < 0 || index >= kMaxClients)
        throw std::out_of_range("client index " + std::to_string(index) + " is outside 0.." +
                                std::to_string(kMaxClients - 1));
    return "127.0." + std::to_string(1 + index / kHostsPerBlock) + "." + std::to_string(1 + index % kHostsPerBlock);
}

// text with every mark replaced by replacement; every other byte, other braces included, is
// kept as it is, so a template can carry any request bytes.
inline std::string ReplaceMark(std::string_view text, std::string_view mark, std::string_view replacement)
{
    std::string result;
    result.reserve(text.size() + 8);
    std::size_t pos = 0;
    for (std::size_t at; (at = text.find(mark, pos)) != std::string_view::npos; pos = at + mark.size()) {
        result.append(text.substr(pos, at - pos));
        result.append(replacement);
    }
    result.append(text.substr(pos));
    return result;
}

// The template with every "{i}" replaced by the decimal index.
inline std::string SubstituteIndex(std::string_view requestTemplate, int index)
{
    return ReplaceMark(requestTemplate, "{i}", std::to_string(index));
}

// The request with every "{sign}" replaced by "-" when negative, by nothing otherwise: a
// client whose template holds it alternates between the two, so that "scj|{sign}1000"
// adds and takes away in turn.
inline std::string SubstituteSign(std::string_view request, bool negative)
{
    static constexpr std::string_view kMark = "{sign}";
    std::string result;
    std::size_t pos = 0;
    for (std::size_t mark; (mark = request.find(kMark, pos)) != std::string_view::npos; pos = mark + kMark.size()) {
        result.append(request.substr(pos, mark - pos));
        if (negative)
            result += '-';
    }
    result.append(request.substr(pos));
    return result;
}

// The request with every "{n}" replaced by the decimal number: a generator numbers its
// requests, so a flood can register a new nick with each one, and a reply that repeats the
// number (a chat line) can be matched to the request that asked for it.
inline std::string SubstituteNumber(std::string_view request, long long number)
{
    static constexpr std::string_view kMark = "{n}";
    const std::string text = std::to_string(number);
    std::string result;
    std::size_t pos = 0;
    for (std::size_t mark; (mark = request.find(kMark, pos)) != std::string_view::npos; pos = mark + kMark.size()) {
        result.append(request.substr(pos, mark - pos));
        result += text;
    }
    result.append(request.substr(pos));
    return result;
}

// The decimal number the bytes end with; nothing when they end in no digit, or in more
// digits than a request number has.
inline std::optional<long long> TrailingNumber(std::string_view bytes)
{
    std::size_t start = bytes.size();
    while (start > 0 && bytes[start - 1] >= '0' && bytes[start - 1] <= '9')
        --start;
    const std::size_t digits = bytes.size() - start;
    if (digits == 0 || digits > 18)
        return std::nullopt;
    long long value = 0;
    for (std::size_t i = start; i < bytes.size(); ++i)
        value = value * 10 + (bytes[i] - '0');
    return value;
}

// The nearest-rank percentile of samples that are already sorted ascending: the smallest
// sample such that at least p percent of all samples are not above it. Nothing for no
// samples; p is clamped to 0..100 (p 0 gives the smallest sample).
template <class T>
std::optional<T> PercentileOfSorted(const std::vector<T>& sorted, double p)
{
    if (sorted.empty())
        return std::nullopt;
    p = std::clamp(p, 0.0, 100.0);
    // Rank ceil(p/100 * n), computed in whole millionths of the samples so that
    // 99.9% of 1000 samples is rank 999 exactly, not 999.0000001 rounded up to 1000.
    const auto n = static_cast<std::uint64_t>(sorted.size());
    const auto millionths = static_cast<std::uint64_t>(p * 10000.0 + 0.5);
    std::uint64_t rank = (millionths * n + 999999) / 1000000;
    rank = std::max<std::uint64_t>(rank, 1);
    return sorted[static_cast<std::size_t>(rank - 1)];
}

// A whole number option within minimum..maximum; raises std::invalid_argument naming the
// option otherwise (trailing bytes, a sign where none fits, an empty text included).
inline long long ParseWhole(std::string_view option, std::string_view text, long long minimum, long long maximum)
{
    const auto fail = [&] {
        throw std::invalid_argument(std::string(option) + " takes a whole number from " + std::to_string(minimum) +
                                    " to " + std::to_string(maximum) + ", not \"" + std::string(text) + "\"");
    };
    if (text.empty())
        fail();
    bool negative = false;
    std::size_t pos = 0;
    if (text[0] == '-') {
        negative = true;
        pos = 1;
    }
    if (pos == text.size())
        fail();
    long long value = 0;
    for (; pos < text.size(); ++pos) {
        if (text[pos] < '0' || text[pos] > '9')
            fail();
        const int digit = text[pos] - '0';
        if (value > (std::numeric_limits<long long>::max() - digit) / 10)
            fail();
        value = value * 10 + digit;
    }
    if (negative)
        value = -value;
    if (value < minimum || value > maximum)
        fail();
    return value;
}

// A flag of a benchmark's command line: its name and what it sets.
struct Flag {
    std::string_view name;
    bool* set;
};

// Walks the command line: a name among flags stands alone and sets its bool; any other takes
// the next argument as its value, handed to onValue, which raises for a name it does not
// know. Raises std::invalid_argument for a name that lacks its value.
template <class OnValue>
void ForEachOption(int argc, char** argv, std::initializer_list<Flag> flags, OnValue&& onValue)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        const auto flag = std::find_if(flags.begin(), flags.end(), [&](const Flag& f) { return f.name == name; });
        if (flag != flags.end()) {
            *flag->set = true;
            continue;
        }
        if (i + 1 >= argc)
            throw std::invalid_argument(std::string(name) + " needs a value");
        onValue(name, std::string_view(argv[++i]));
    }
}

// A benchmark program's main around run(): --help alone prints usage; a wrong command line
// (std::invalid_argument) is told with the usage and ends with status 2, any other failure
// with status 1, both named after program.
template <class Run>
int RunProgram(const char* program, const char* usage, int argc, char** argv, Run&& run)
{
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        std::fputs(usage, stdout);
        return 0;
    }
    try {
        return run();
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "%s: %s\n%s", program, error.what(), usage);
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", program, error.what());
        return 1;
    }
}

} // namespace load_plan
