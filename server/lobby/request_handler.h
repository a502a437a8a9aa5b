#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/lobby/admission.h"
#include "server/lobby/lobby_status.h"
#include "server/lobby/message_sender.h"
#include "server/lobby/registry_changes.h"
#include "server/lobby/request_fields.h"
#include "server/lobby/request_source.h"
#include "server/lobby/save_scheduler.h"

namespace lobby {

class TForm1;
class PacedWork;

// What an admitted request does: it is logged, its player logged in (or registered), and its
// command carried out: slc, msg, off, pvt, fc+, fc-, scj; anything else only logs in.
class RequestHandler {
public:
    struct Rooms {
        MessageSender& sender;
        Admission& door;
        RegistryChanges& changes;
        SaveScheduler& saves;
        PacedWork& pacing;
        LobbyStatus& status;
    };

    // maskPasswords: the traffic log writes each request's password as "***".
    RequestHandler(TForm1& form, Rooms rooms, bool maskPasswords) : form_(form), rooms_(rooms), maskPasswords_(maskPasswords) {}

    // One admitted request from source: bytes as received, request its fields when it has them
    // (a request that cannot name a nick and a password goes no further than the log), nickRow
    // its nick's row (0: unknown). What it sends is charged to its source whichever way it
    // ends, for the lobby's fair share of output. Raises what its command raises, with what it
    // did so far kept.
    void CarryOut(const RequestSource& source, std::string_view bytes, const std::optional<RequestFields>& request,
                  int nickRow, std::int64_t nowMs);
    // The requests that waited for the lobby's allowance of new nicks, as far as it goes now.
    void ServeWaitingRegistrations(std::int64_t nowMs);

    // off: offline first, so the leaving player gets neither the notice nor the list.
    void Leave(int row, std::string_view nick);

private:
    void CarryOutCommand(const RequestSource& source, std::string_view bytes,
                         const std::optional<RequestFields>& request, int nickRow);
    // The login steps: the player's row, or nothing when the request was refused.
    std::optional<int> LogIn(const RequestSource& source, const RequestFields& request, int nickRow);
    void JoinGame(const RequestSource& source, int row);                    // slc
    void Chat(std::string_view nick, std::string_view text);                // msg
    void SendPrivateLine(std::string_view nick, std::string_view argument); // pvt
    void SetFlag(int row, std::string_view flag);                           // fc+, fc-
    void ReportScore(int row, std::string_view points);                     // scj
    // Sends message to the request's source, asking the flood guard by the source's key.
    void Reply(const RequestSource& source, std::string_view message);

    TForm1& form_;
    Rooms rooms_;
    bool maskPasswords_;
};

} // namespace lobby
