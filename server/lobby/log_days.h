#pragma once

#include <memory>
#include <set>
#include <string>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/regional_settings.h"
#include "server/lobby/error_box.h"
#include "server/traffic_log/log_keeper.h"
#include "server/traffic_log/traffic_log.h"

namespace lobby {

// What becomes of the traffic log's closed days (--compress-logs, --keep-logs): a log keeper
// that compresses and removes them, made as the options ask and again when they change. It
// looks over the closed days when a day closes and when asked (at start-up).
class LogDays {
public:
    // keptNames: the files among the logs that the keeper never touches. loop: where the
    // keeper's worker reports; without one (unit tests) no keeper is made.
    // Stop must be called before log is destroyed, since the keeper hears of its closed days.
    LogDays(EventLoop* loop, std::string folder, std::set<std::string> keptNames, LogKeepingOptions options,
            TrafficLog& log, ErrorBox& errors, const Clock& clock, const RegionalSettings& regional);
    LogDays(const LogDays&) = delete;
    LogDays& operator=(const LogDays&) = delete;

    // Has the keeper look over the closed days, when there is one.
    void RequestPass();
    // The options changed while serving: a keeper made anew abandons a day it was compressing
    // (its plain file stays) and, when pass is true, looks over the closed days at once under
    // the new rules. Nothing happens when they did not change.
    void Apply(const LogKeepingOptions& options, bool pass);
    // Stops the keeper: a day half compressed is left as it was, plain file and all.
    void Stop();
    // The keeper; null when the options ask for nothing.
    LogKeeper* Keeper() const { return keeper_.get(); }

private:
    void Make();

    EventLoop* loop_;
    std::string folder_;
    std::set<std::string> keptNames_;
    LogKeepingOptions options_;
    TrafficLog& log_;
    ErrorBox& errors_;
    const Clock& clock_;
    const RegionalSettings& regional_;
    std::unique_ptr<LogKeeper> keeper_;
};

} // namespace lobby
