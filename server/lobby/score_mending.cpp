#include "server/lobby/score_mending.h"

#include <algorithm>

#include "platform/exception.h"

namespace lobby {

namespace {

// The nick as a shell takes it back: in single quotes when it holds anything but letters,
// digits and a few marks.
std::string ShellWord(std::string_view word)
{
    const bool plain = std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
               c == '.' || static_cast<unsigned char>(c) >= 0x80;
    });
    if (plain && !word.empty() && word.front() != '-')
        return std::string(word);
    std::string quoted = "'";
    for (const char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace

std::string MendingHint(std::string_view nick)
{
    if (nick.empty())
        return "lobbyctl remove --empty-nick removes it";
    return "lobbyctl score " + ShellWord(nick) + " POINTS mends it";
}

std::string BadScoreText(int row, std::string_view nick, std::string_view score)
{
    return "row " + std::to_string(row) + " (" + std::string(nick) + ") has score '" + std::string(score) +
           "', not a number; " + MendingHint(nick);
}

std::string RankingsStoppedText(int row, std::string_view nick, std::string_view score)
{
    return "rankings are stopped: " + BadScoreText(row, nick, score);
}

void SortByScoreOrExplain(Registry& table)
{
    try {
        table.SortByScore();
    } catch (const EConvertError&) {
        const std::vector<int> bad = table.BadScoreRows();
        if (bad.empty())
            throw;
        const int row = bad.front();
        throw Exception(
            RankingsStoppedText(row, table.Cell(Registry::kNick, row), table.Cell(Registry::kScore, row)));
    }
}

} // namespace lobby
