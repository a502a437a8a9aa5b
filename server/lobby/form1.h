#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "net/datagram_endpoint.h"
#include "net/received_datagram.h"
#include "platform/event_loop.h"
#include "server/lobby/admission.h"
#include "server/lobby/console_operations.h"
#include "server/lobby/error_box.h"
#include "server/lobby/form_environment.h"
#include "server/lobby/handler_clock.h"
#include "server/lobby/lobby_status.h"
#include "server/lobby/log_days.h"
#include "server/lobby/memo.h"
#include "server/lobby/message_sender.h"
#include "server/lobby/paced_work.h"
#include "server/lobby/registry_changes.h"
#include "server/lobby/registry_loader.h"
#include "server/lobby/request_handler.h"
#include "server/lobby/save_scheduler.h"
#include "server/registry/registry.h"
#include "server/traffic_log/traffic_log.h"

namespace lobby {

// The main window of the lobby server and the owner of everything in it. Its handlers run one
// at a time on the loop's thread.
//
// What the names say:
//   Cad        the registry grid: every player's row (marker, nick, password, address, score,
//              flag), row 0 the header; what the window shows and cadastro.txt holds.
//   Memo1      the line buffer the registry file is read and written through; a window shows
//              it as the file's text as last saved.
//   UDP1       the datagram endpoint: requests arrive on it, messages leave through it.
//   Timer1     the minute timer of the presence check (Timer1Timer).
//   AppFolder, LogFile, TickCount: the data folder, the day's traffic log, and the presence
//              check's count of minutes.
// What the lobby adds beside them lives in rooms the form owns: the operator's error box
// (Errors), the door that admits requests (Door: bans, flood guard, new-nick allowances,
// capacity), the saves (Saves), the paced broadcasts and waiting registrations (Pacing), the
// status figures (Status), the log's closed days (LogKeeping) and the operator's console
// (Console).
class TForm1 {
public:
    static constexpr const char* kAccessWord = "m5qt4";
    static constexpr const char* kRegistryFileName = "cadastro.txt";
    static constexpr int kTimerIntervalMs = 60000;

    // Builds the components (UDP1 bound, Timer1 counting). Raises when UDP1 cannot be made.
    explicit TForm1(FormEnvironment environment);
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // Start-up: opens the day's traffic log.
    void FormCreate();
    // Checks the access word (a wrong one asks the program to end, the rest still runs),
    // then loads the registry. Raises RegistryUnreadable for a file that exists and cannot
    // be read: the program must then end without serving and without saving. With the
    // right word, the log keeper starts on the days already closed.
    void FormActivate();
    // Shutdown: stops the log keeper (a day half compressed keeps its plain file), closes
    // the log, then saves the registry (also when closing the log failed).
    void FormDestroy();

    // Requests: called once for every datagram that reaches UDP1, with its bytes, which it
    // copies first thing (they are UDP1's and good only until its next receive). Admitted by
    // the door, logged, logged in, then carried out; a request that cannot name a nick and a
    // password goes no further than the log. An error raised here ends this request only, with
    // what it did so far kept; the caller reports it and goes on serving.
    void UDP1DataReceived(DatagramEndpoint& Sender, std::int32_t NumberBytes, const std::string& FromIP,
                          std::int32_t Port, std::string_view Bytes);
    // The requests UDP1 took together, each handled as UDP1DataReceived alone would; their
    // log lines and datagrams are handed over together once the last has been handled.
    void UDP1BatchReceived(DatagramEndpoint& Sender, ReceivedBatch& Batch)
    {
        const MessageSender::Batch together(sender_);
        ReceivedDatagram datagram;
        while (Batch.Next(datagram)) {
            RunHandler([&] {
                UDP1DataReceived(Sender, datagram.NumberBytes, datagram.FromIP, datagram.Port, datagram.Bytes);
            });
        }
    }
    // Presence check: called every kTimerIntervalMs.
    void Timer1Timer();

    // Outgoing messages.
    void SendMessageTo(std::string_view address, std::string_view message);
    void Broadcast(std::string_view message);
    void SendPlayerList();
    void SendRanking();

    // Registry. Loads cadastro.txt into Cad (see RegistryLoader::Load); saves the whole
    // table now, raising when it fails; sorts the table by score.
    void LoadRegistry();
    void SaveRegistry();
    void SortByScore();

    // Runs a handler the way the window runs its own: an error ends the handler where it
    // occurs and goes to the operator (see ErrorBox::ShowHandlerFailure); the effects before
    // it stay. Says whether it ran clean. A template, since it wraps every datagram's
    // handler: no function object is built for it.
    template <class Handler>
    bool RunHandler(Handler&& handler)
    {
        try {
            std::forward<Handler>(handler)();
            return true;
        } catch (...) {
            errors_.ShowHandlerFailure(std::current_exception());
            return false;
        }
    }

    bool TerminateRequested() const { return terminateRequested_; }
    // Whether passwords are shown as "***" in the traffic log and the windows.
    bool MasksPasswords() const { return environment_.maskPasswords; }

    // The rooms.
    ErrorBox& Errors() { return errors_; }
    Admission& Door() { return door_; }
    SaveScheduler& Saves() { return saves_; }
    const SaveScheduler& Saves() const { return saves_; }
    PacedWork& Pacing() { return pacing_; }
    const LobbyStatus& Status() const { return status_; }
    LogDays& LogKeeping() { return logDays_; }
    ConsoleOperations& Console() { return console_; }

    Registry Cad;
    TMemo Memo1;
    std::unique_ptr<DatagramEndpoint> UDP1;
    std::unique_ptr<EventLoop::Registration> Timer1;
    std::string AppFolder;
    TrafficLog LogFile;
    std::int32_t TickCount = 0;

private:
    FormEnvironment environment_;
    bool terminateRequested_ = false;
    HandlerClock clock_;
    ErrorBox errors_;
    LobbyStatus status_{Cad, LogFile, clock_};
    Admission door_;
    MessageSender sender_;
    SaveScheduler saves_; // after sender_, which it tells; its saver's worker ends first
    RegistryChanges changes_{Cad, saves_};
    RegistryLoader loader_;
    RequestHandler requests_;
    PacedWork pacing_;
    LogDays logDays_; // after LogFile, whose closed days it hears of, so it goes first
    ConsoleOperations console_;
};

} // namespace lobby
