#include "app/status_line_filter.h"

namespace lobby {

bool StatusLineFilter::Take(const std::string& line, std::int64_t nowMs)
{
    if (lastMs_ && line == last_ && nowMs - *lastMs_ < kRepeatMs)
        return false;
    last_ = line;
    lastMs_ = nowMs;
    return true;
}

} // namespace lobby
