// Prints how long the registry takes at the scale it is built for: loading and saving a
// million players, a login at 10 and at a million rows, and the score sort when the last
// row rises to the top. Figures only; nothing here passes or fails.
#include <chrono>
#include <cstdio>
#include <string>

#include "server/registry.h"
#include "server/registry_file.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string RegistryText(int players)
{
    std::string text = ",Nick,Senha,Ip,Pontos,,\r\n";
    text.reserve(static_cast<std::size_t>(players) * 44);
    for (int i = 0; i < players; ++i) {
        text += ",player" + std::to_string(i) + ",secret" + std::to_string(i % 997) + ",10." +
                std::to_string(i / 65536 % 256) + "." + std::to_string(i / 256 % 256) + "." +
                std::to_string(i % 256) + "," + std::to_string(players - i) + ",-,\r\n";
    }
    return text;
}

// Average time of one login over many, in microseconds.
double LoginMicroseconds(Registry& registry, int players)
{
    const int logins = 200000;
    const auto start = Clock::now();
    long found = 0;
    for (int i = 0; i < logins; ++i) {
        const int p = (i * 7919) % players;
        found += registry.CheckLogin("PLAYER" + std::to_string(p), "SECRET" + std::to_string(p % 997)) > 0;
    }
    const double us = MillisecondsSince(start) * 1000.0 / logins;
    if (found != logins)
        std::printf("  (only %ld of %d logins matched)\n", found, logins);
    return us;
}

} // namespace

int main()
{
    const int million = 1000000;
    const std::string text = RegistryText(million);
    std::printf("registry of %d players, %.1f MB\n", million, text.size() / 1e6);

    Registry registry;
    auto start = Clock::now();
    registry.LoadFromText(text);
    std::printf("load from text:          %8.1f ms\n", MillisecondsSince(start));

    start = Clock::now();
    const std::string saved = registry.SaveToText();
    std::printf("save to text:            %8.1f ms (%s)\n", MillisecondsSince(start),
                saved == text ? "same bytes" : "BYTES DIFFER");

    char folder[] = "/tmp/lobby_bench.XXXXXX";
    if (::mkdtemp(folder) != nullptr) {
        const std::string path = std::string(folder) + "/cadastro.txt";
        start = Clock::now();
        WriteFileReplacing(path, saved);
        std::printf("write file, flush, rename: %6.1f ms\n", MillisecondsSince(start));
        start = Clock::now();
        const auto read = ReadRegistryFile(path);
        std::printf("read file:               %8.1f ms\n", MillisecondsSince(start));
        std::remove(path.c_str());
        std::remove(folder);
    }

    Registry small;
    small.LoadFromText(RegistryText(10));
    std::printf("login at 10 rows:        %8.3f us\n", LoginMicroseconds(small, 10));
    std::printf("login at %d rows:   %8.3f us\n", million, LoginMicroseconds(registry, million));

    // The last player (lowest score) reports enough points to lead: one row crosses them all.
    registry.SetCell(Registry::kScore, registry.RowCount() - 1, std::to_string(2 * million));
    start = Clock::now();
    registry.SortByScore();
    std::printf("sort, last row to first: %8.1f ms (%s)\n", MillisecondsSince(start),
                registry.Cell(Registry::kNick, 1) == "player999999" ? "moved" : "NOT MOVED");
    start = Clock::now();
    registry.SortByScore();
    std::printf("sort, already in order:  %8.1f ms\n", MillisecondsSince(start));
    return 0;
}
