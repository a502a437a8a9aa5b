#include "fuzz/invariants.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

using namespace lobby;

namespace fuzz {

void Broken(std::string_view what, std::string_view detail)
{
    std::fprintf(stderr, "invariant broken: %.*s\n", static_cast<int>(what.size()), what.data());
    if (!detail.empty())
        std::fprintf(stderr, "  %.*s\n", static_cast<int>(std::min<std::size_t>(detail.size(), 4000)), detail.data());
    std::abort();
}

void CheckEndsWithLineEnd(std::string_view text, std::string_view what)
{
    Check(text.empty() || (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n"), what, text.substr(text.size() > 80 ? text.size() - 80 : 0));
}

void CheckRegistryRoundTrip(const Registry& registry)
{
    const std::string text = registry.SaveToText();
    CheckEndsWithLineEnd(text, "the saved registry ends without a line end");
    std::size_t lines = 0;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
        ++lines;
    Check(lines == static_cast<std::size_t>(registry.RowCount()), "one saved line a row", text);
    std::size_t breaks = 0;
    for (const char c : text)
        breaks += (c == '\r' || c == '\n' || c == '\0') ? 1 : 0;
    Check(breaks == 2 * lines, "no line break or NUL inside a saved cell", text);

    // The text read back last time, and a registry kept from call to call: a registry's first
    // rows cost more to set up than the check, and a text that passed reads back the same.
    static std::string lastRead;
    static Registry reread;
    if (text != lastRead) {
        reread.LoadFromText(text);
        Check(reread.RowCount() == registry.RowCount(), "the saved registry reads back to as many rows", text);
        for (int row = 0; row < registry.RowCount(); ++row) {
            Check(reread.Cell(Registry::kMarker, row).empty(), "a saved row reads back offline");
            for (int col = 1; col < Registry::kColCount; ++col)
                Check(reread.Cell(col, row) == registry.Cell(col, row), "a saved cell reads back the same",
                      std::string(registry.Cell(col, row)) + " / " + std::string(reread.Cell(col, row)));
        }
        Check(reread.SaveToText() == text, "saving what was read gives the same text");
        lastRead = text;
    }

    const std::set<int> onlineRows = registry.OnlineRows();
    std::size_t online = 0;
    for (int row = 1; row < registry.RowCount(); ++row) {
        const bool marked = !registry.Cell(Registry::kMarker, row).empty();
        Check(marked == (onlineRows.count(row) == 1), "the online set follows the markers");
        online += marked ? 1 : 0;
    }
    Check(online == onlineRows.size(), "the online set holds player rows only");
}

const std::string& ScratchFolder()
{
    static const std::string folder = [] {
        const bool memory = std::filesystem::is_directory("/dev/shm");
        std::string pattern = std::string(memory ? "/dev/shm" : "/tmp") + "/lobby_fuzz.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            Broken("cannot make a scratch folder");
        // Removed when the fuzzer ends normally; a crash leaves it for a look.
        static const std::string remove = pattern;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(remove, ignored);
        });
        return pattern + "/";
    }();
    return folder;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, std::string_view bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace fuzz
