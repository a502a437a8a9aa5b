#pragma once

#include <string>
#include <string_view>

#include "server/registry/registry.h"

namespace lobby {

// The operator's words for a registry row whose score is no integer: such a row stops every
// ranking (the sort cannot read it), and the console can mend it while the lobby runs. The
// texts take the nick and the score as they are to be shown (the caller converts them).

// "lobbyctl score NICK POINTS mends it", or, for a row without a nick (a blank line), the
// command that removes such rows.
std::string MendingHint(std::string_view nick);

// "row N (NICK) has score 'X', not a number; lobbyctl score NICK POINTS mends it".
std::string BadScoreText(int row, std::string_view nick, std::string_view score);
// "rankings are stopped: " and the BadScoreText of the row that stops them.
std::string RankingsStoppedText(int row, std::string_view nick, std::string_view score);

// Sorts the table by score; when a score that is no integer stops the sort, raises Exception
// with the RankingsStoppedText of the first such row (its cells as they are, in the code
// page) instead of the conversion's own message.
void SortByScoreOrExplain(Registry& table);

} // namespace lobby
