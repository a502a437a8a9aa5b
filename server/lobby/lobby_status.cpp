#include "server/lobby/lobby_status.h"

#include <algorithm>

#include "platform/file_system.h"
#include "server/traffic_log/log_keeper.h"

namespace lobby {

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

void LobbyStatus::NoteRequest(int row)
{
    const Registry::RowId id = table_.IdOfRow(row);
    if (lastRequestSecond_.size() <= id)
        lastRequestSecond_.resize(static_cast<std::size_t>(id) + 1, 0);
    lastRequestSecond_[id] = static_cast<std::uint32_t>(clock_.Read() / 1000 + 1);
}

std::optional<std::int64_t> LobbyStatus::SecondsSinceRequest(Registry::RowId id) const
{
    if (id >= lastRequestSecond_.size() || lastRequestSecond_[id] == 0)
        return std::nullopt;
    return std::max<std::int64_t>(0, clock_.Read() / 1000 + 1 - lastRequestSecond_[id]);
}

std::string LobbyStatus::Line() const
{
    return "players online " + std::to_string(table_.Online().size()) + ", registered " +
           std::to_string(std::max(table_.RowCount() - 1, 0)) + ", datagrams in " +
           std::to_string(counters_.received) + ", out " + std::to_string(counters_.sent) + ", dropped " +
           std::to_string(counters_.dropped) + ", log today " + LogSizeText(log_.FileName());
}

} // namespace lobby
