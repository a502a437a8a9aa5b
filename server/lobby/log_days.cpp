#include "server/lobby/log_days.h"

#include <utility>

namespace lobby {

LogDays::LogDays(EventLoop* loop, std::string folder, std::set<std::string> keptNames, LogKeepingOptions options,
                 TrafficLog& log, ErrorBox& errors, const Clock& clock, const RegionalSettings& regional)
    : loop_(loop), folder_(std::move(folder)), keptNames_(std::move(keptNames)), options_(options), log_(log), errors_(errors), clock_(clock),
      regional_(regional)
{
    Make();
}

void LogDays::RequestPass()
{
    if (keeper_)
        keeper_->RequestPass(clock_.Now(), regional_, log_.LogDate());
}

void LogDays::Apply(const LogKeepingOptions& options, bool pass)
{
    const bool changed = options.compress != options_.compress || options.keepDays != options_.keepDays;
    options_ = options;
    if (!changed)
        return;
    Make();
    if (pass)
        RequestPass();
}

void LogDays::Stop()
{
    keeper_.reset();
    log_.OnDayClosed = nullptr;
}

void LogDays::Make()
{
    Stop();
    if (!loop_ || !options_.Any())
        return;
    keeper_ = std::make_unique<LogKeeper>(
        *loop_, folder_, options_, keptNames_,
        [this](const std::string& text) { errors_.ShowError(text); },
        [this](const std::string& text) { errors_.ShowNotice(text); });
    log_.OnDayClosed = [this] { RequestPass(); };
}

} // namespace lobby
