#include "server/lobby/registration_wait.h"

#include <algorithm>
#include <utility>

namespace lobby {

std::optional<AddressKey> RegistrationWait::Add(std::string bytes, std::string address, AddressKey key,
                                                std::uint32_t allowanceLeft, std::int64_t nowMs,
                                                std::uint32_t perSecond)
{
    WaitingRegistration waiting{std::move(bytes), std::move(address), key, allowanceLeft, order_++, nowMs};
    const std::size_t most = std::clamp<std::size_t>(std::size_t{perSecond} * kWaitMs / 1000, 1, kMostWaiting);
    if (waiting_.size() < most) {
        waiting_.push_back(std::move(waiting));
        return std::nullopt;
    }
    const auto last = std::max_element(waiting_.begin(), waiting_.end(), WaitingRegistration::ServedFirst);
    if (!WaitingRegistration::ServedFirst(waiting, *last))
        return waiting.key;
    const AddressKey dropped = last->key;
    *last = std::move(waiting);
    return dropped;
}

const WaitingRegistration& RegistrationWait::Best() const
{
    return *std::min_element(waiting_.begin(), waiting_.end(), WaitingRegistration::ServedFirst);
}

WaitingRegistration RegistrationWait::TakeBest()
{
    const auto best = std::min_element(waiting_.begin(), waiting_.end(), WaitingRegistration::ServedFirst);
    WaitingRegistration taken = std::move(*best);
    waiting_.erase(best);
    return taken;
}

} // namespace lobby
