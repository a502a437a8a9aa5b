// Prints how long the registry takes at the scale it is built for: loading and saving a
// million players, a login at 10 and at a million rows, the score sort when the last row
// rises to the top, and what a score report costs the loop (the sort and the snapshot for the
// background save) beside what the save itself costs off the loop, against a bare write,
// flush and rename of the same bytes. Figures only; nothing here passes or fails.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "server/registry/registry.h"
#include "server/registry/registry_file.h"

using namespace lobby;

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

// The median of runs timings of fn, in milliseconds.
double MedianMs(int runs, const std::function<void()>& fn)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        fn();
        times.push_back(MillisecondsSince(start));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
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

    char folder[] = "/var/tmp/lobby_bench.XXXXXX";
    if (::mkdtemp(folder) != nullptr) {
        const std::string path = std::string(folder) + "/cadastro.txt";
        // Side by side, alternating, medians of five: this machine is shared and noisy.
        std::vector<double> bare;
        std::vector<double> fromSnapshot;
        for (int i = 0; i < 5; ++i) {
            bare.push_back(MedianMs(1, [&] { WriteFileReplacing(path, saved); }));
            RegistrySnapshot snapshot = registry.Snapshot();
            fromSnapshot.push_back(MedianMs(1, [&] { WriteRegistryFile(path, snapshot); }));
            snapshot = {};
            registry.SnapshotReleased();
        }
        std::sort(bare.begin(), bare.end());
        std::sort(fromSnapshot.begin(), fromSnapshot.end());
        std::printf("bare write, flush, rename of the text: %6.1f ms\n", bare[2]);
        std::printf("save from a snapshot (write, flush, rename): %6.1f ms (%.2f x bare)\n", fromSnapshot[2],
                    fromSnapshot[2] / bare[2]);
        start = Clock::now();
        const auto read = ReadRegistryFile(path);
        std::printf("read file:               %8.1f ms (%s)\n", MillisecondsSince(start),
                    read && read->View() == saved ? "same bytes" : "BYTES DIFFER");
        std::remove(path.c_str());
        std::remove(folder);
    }
    std::printf("snapshot for a save:     %8.3f ms\n", MedianMs(9, [&] {
        RegistrySnapshot snapshot = registry.Snapshot();
        snapshot = {};
        registry.SnapshotReleased();
    }));

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

    // What a report costs the loop at its worst: a player crosses the whole table (last to
    // first, then back to last), and the snapshot for its save is taken, while the save of
    // the previous report still holds its own snapshot (so changed chunks are copied).
    RegistrySnapshot inFlight = registry.Snapshot();
    std::vector<double> reports;
    for (int i = 0; i < 20; ++i) {
        const int from = (i % 2 == 0) ? registry.RowCount() - 1 : 1;
        const std::string score = (i % 2 == 0) ? std::to_string(3 * million + i) : std::to_string(-1 - i);
        reports.push_back(MedianMs(1, [&] {
            registry.SetCell(Registry::kScore, from, score);
            registry.SortByScore();
            inFlight = {};
            registry.SnapshotReleased();
            inFlight = registry.Snapshot();
        }));
    }
    std::sort(reports.begin(), reports.end());
    std::printf("a report crossing the table, loop's part: median %.3f ms, worst %.3f ms\n", reports[reports.size() / 2],
                reports.back());
    return 0;
}
