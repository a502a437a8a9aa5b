#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lobby {

// Which of the minute's status lines are worth a line in the operator's record: one that
// differs from the last one let through, or the same once an hour, so a quiet lobby writes
// 24 lines a day instead of 1,440 and still shows it is alive.
class StatusLineFilter {
public:
    static constexpr std::int64_t kRepeatMs = 3600 * 1000;

    // Whether line (at nowMs, a monotonic clock's) is to be written; if so it is the last one.
    bool Take(const std::string& line, std::int64_t nowMs);

private:
    std::string last_;
    std::optional<std::int64_t> lastMs_;
};

} // namespace lobby
