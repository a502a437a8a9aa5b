#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/flood/flood_guard.h"
#include "server/lobby/ban_list.h"
#include "server/lobby/error_box.h"
#include "server/lobby/handler_clock.h"
#include "server/lobby/lobby_status.h"
#include "server/lobby/registration_wait.h"
#include "server/lobby/request_fields.h"
#include "server/lobby/request_source.h"
#include "server/registry/registry.h"

namespace lobby {

// The lobby's door: which requests are served now, which wait and which are dropped unseen.
// It asks, in this order, the operator's bans, the flood guard's limits for the source, the
// source's allowance of new nicks and the lobby's own, and the registry's capacity.
class Admission {
public:
    enum class Verdict {
        kServe, // go on to the request's command
        kDrop,  // dropped unseen, neither logged nor answered, and counted
        kWait,  // a new nick over the lobby's allowance: it waits its turn (see Waiting)
    };

    // bansPath: where the operator's bans are kept.
    Admission(const Registry& table, ErrorBox& errors, LobbyStatus& status, HandlerClock& clock, FloodLimits limits,
              std::int32_t capacity, std::string bansPath);

    // One request from source: bytes as received, request its fields when it has them. Starts
    // the handler's clock and the flood guard's round once the bans let it by, so what it sends
    // is held to its source's limits. Once the guard let it by, nickRow is its nick's row (0:
    // unknown), looked up once for the registration allowance and the login both.
    Verdict Admit(const RequestSource& source, const std::optional<RequestFields>& request, std::string_view bytes,
                  int& nickRow);

    // Whether a new nick could be stored: not empty, and no byte the registry file cannot keep.
    static bool Registrable(const RequestFields& request);
    // Whether the request would register its nick: one that cannot be stored, or a full
    // registry, is refused instead.
    bool WouldRegister(const RequestFields& request) const;
    // The registry holds its capacity of players: new nicks are refused.
    bool RegistryFull() const;
    // Tells the operator that new nicks are being refused, the first time only.
    void ReportRegistryFullOnce();

    // Start-up: the bans kept in the data folder. Raises Exception naming the file for one
    // that cannot be read or holds a line that is no ban.
    void LoadBans();
    const std::string& BansPath() const { return bansPath_; }
    const BanList& Bans() const { return bans_; }
    // The bans as the operator changed them (already on disk).
    void SetBans(BanList bans) { bans_ = std::move(bans); }

    // Limits changed while serving: the flood guard and the capacity take them at once, and
    // a full registry is told again under the new capacity.
    void SetLimits(const FloodLimits& limits, std::int32_t capacity);
    FloodGuard& Guard() { return guard_; }
    const FloodGuard& Guard() const { return guard_; }
    // The new nicks waiting for the lobby's allowance.
    RegistrationWait& Waiting() { return waiting_; }

    // Once a minute: the flood guard's summary to the operator, if any.
    void ReportFloods();

private:
    bool RefusedByBan(std::string_view address, const std::optional<RequestFields>& request);
    bool AdmitRegistration(const RequestSource& source, const RequestFields& request, std::int64_t nowMs);
    Verdict AdmitNewNick(const RequestSource& source, const RequestFields& request, std::string_view bytes,
                         std::int64_t nowMs);

    const Registry& table_;
    ErrorBox& errors_;
    LobbyStatus& status_;
    HandlerClock& clock_;
    FloodGuard guard_;
    BanList bans_;
    RegistrationWait waiting_;
    std::int32_t capacity_;
    bool capacityReported_ = false;
    std::string bansPath_;
};

} // namespace lobby
