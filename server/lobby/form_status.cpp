#include "server/lobby/form1.h"

#include <algorithm>

#include "platform/file_system.h"

namespace lobby {

// What the lobby tells the operator of itself: its status line, and when each player last
// made a request.

namespace {

// The size of the day's log file as the status line tells it; "none" when there is no file.
std::string LogSizeText(const std::string& path)
{
    const std::optional<FileStatus> status = StatusOf(path);
    if (!status)
        return "none";
    return ByteSizeText(status->size);
}

} // namespace

void TForm1::NoteRequest(int row)
{
    const Registry::RowId id = Cad.IdOfRow(row);
    if (lastRequestSecond_.size() <= id)
        lastRequestSecond_.resize(static_cast<std::size_t>(id) + 1, 0);
    lastRequestSecond_[id] = static_cast<std::uint32_t>(MonotonicNowMs() / 1000 + 1);
}

std::optional<std::int64_t> TForm1::SecondsSinceRequest(Registry::RowId id) const
{
    if (id >= lastRequestSecond_.size() || lastRequestSecond_[id] == 0)
        return std::nullopt;
    return std::max<std::int64_t>(0, MonotonicNowMs() / 1000 + 1 - lastRequestSecond_[id]);
}

std::string TForm1::StatusLine() const
{
    return "players online " + std::to_string(Cad.Online().size()) + ", registered " +
           std::to_string(std::max(Cad.RowCount() - 1, 0)) + ", datagrams in " +
           std::to_string(counters_.received) + ", out " + std::to_string(counters_.sent) + ", dropped " +
           std::to_string(counters_.dropped) + ", log today " + LogSizeText(LogFile.FileName());
}

} // namespace lobby
