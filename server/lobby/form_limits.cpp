#include <set>

#include "server/lobby/form1.h"

namespace lobby {

// What the operator may change while the lobby serves: its limits and what becomes of the
// log's closed days.

void TForm1::MakeLogKeeper()
{
    LogKeeping.reset();
    LogFile.OnDayClosed = nullptr;
    if (!environment_.loop || !environment_.logKeeping.Any())
        return;
    LogKeeping = std::make_unique<LogKeeper>(
        *environment_.loop, environment_.appFolder, environment_.logKeeping, std::set<std::string>{kRegistryFileName, BanList::kFileName},
        [this](const std::string& text) { ShowError(text); },
        [this](const std::string& text) { environment_.notifier->ShowNotice(ErrorBoxCaption(environment_.exeName), text); });
    LogFile.OnDayClosed = [this] { RequestLogPass(); };
}

// A log keeper made anew abandons a day it was compressing (its plain file stays) and looks
// over the closed days at once under the new rules.
void TForm1::ApplyLimits(const FloodLimits& limits, std::int32_t capacity, const LogKeepingOptions& logKeeping)
{
    Guard.SetLimits(limits);
    environment_.floodLimits = Guard.Limits();
    environment_.capacity = capacity;
    capacityReported_ = false; // a full registry is told again under the new capacity
    const bool keepingChanged =
        logKeeping.compress != environment_.logKeeping.compress || logKeeping.keepDays != environment_.logKeeping.keepDays;
    environment_.logKeeping = logKeeping;
    if (!keepingChanged)
        return;
    MakeLogKeeper();
    if (saves_.Loaded())
        RequestLogPass();
}

} // namespace lobby
