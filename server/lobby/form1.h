#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "net/datagram_endpoint.h"
#include "net/received_datagram.h"
#include "platform/clock.h"
#include "platform/data_folder.h"
#include "platform/event_loop.h"
#include "platform/exception.h"
#include "platform/monotonic_clock.h"
#include "platform/regional_settings.h"
#include "server/lobby/ban_list.h"
#include "server/lobby/form_environment.h"
#include "server/flood/flood_guard.h"
#include "server/traffic_log/log_keeper.h"
#include "server/lobby/memo.h"
#include "server/operator_notifier.h"
#include "server/lobby/message_sender.h"
#include "server/registry/registry.h"
#include "server/lobby/registry_changes.h"
#include "server/lobby/save_scheduler.h"
#include "server/registry/registry_saver.h"
#include "server/lobby/request_fields.h"
#include "server/lobby/registration_wait.h"
#include "server/lobby/request_source.h"
#include "server/lobby/snapshot_copies.h"
#include "server/lobby/snapshot_pacer.h"
#include "server/traffic_log/traffic_log.h"

namespace lobby {

class ConsoleOperations;

// The main window of the lobby server and the owner of everything in it: the registry grid
// Cad, the memo Memo1, the endpoint UDP1, the presence timer Timer1, and the traffic log.
// Its handlers run one at a time on the loop's thread.
class TForm1 {
public:
    static constexpr const char* kAccessWord = "m5qt4";
    static constexpr const char* kRegistryFileName = "cadastro.txt";
    static constexpr int kTimerIntervalMs = 60000;
    static constexpr int kErrorsShownPerMinute = 10;

    // Builds the components (UDP1 bound, Timer1 counting). Raises when UDP1 cannot be made.
    explicit TForm1(FormEnvironment environment);
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;
    ~TForm1();

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

    bool TerminateRequested() const { return terminateRequested_; }
    bool RegistryLoaded() const { return saves_.Loaded(); }
    // Whether passwords are shown as "***" in the traffic log and the windows.
    bool MasksPasswords() const { return environment_.maskPasswords; }

    // Runs a handler the way the window runs its own: an error ends the handler where it
    // occurs and goes to the operator (the first kErrorsShownPerMinute in a minute one by
    // one, the rest counted and told on the minute tick); the effects before it stay. A
    // RegistrySaveError is always shown at once, however many errors the minute had. Says
    // whether it ran clean. A template, since it wraps every datagram's handler: no function
    // object is built for it.
    template <class Handler>
    bool RunHandler(Handler&& handler)
    {
        try {
            std::forward<Handler>(handler)();
            return true;
        } catch (...) {
            ShowHandlerFailure(std::current_exception());
            return false;
        }
    }
    // What RunHandler does with an error that ended a handler; an error of no known kind is
    // raised again.
    void ShowHandlerFailure(std::exception_ptr failure);
    // Tells the operator, in one notice, how many errors were held back since the last
    // minute tick and the last of them; nothing when none was. The minute tick calls it, and
    // the program once its loop has ended, so that none is lost at exit.
    void ReportHeldErrors();
    // Shows an error message as the window's error box would.
    void ShowError(const std::string& message);

    // Registry (registry operations on the window).
    // Loads cadastro.txt into Cad. A missing file gives the header-only table and is then
    // created; a failure to create it raises with the table loaded all the same. A file that
    // exists and cannot be read raises RegistryUnreadable and loads nothing. A file read only
    // in part (a NUL byte, an over-long line, text past the cells) is first kept beside as
    // it is, since the first save will drop what was not read; when that copy cannot be made
    // it raises RegistryUnreadable too. Each row whose score is no integer is told to the
    // operator, as it stops score reports from being ranked.
    void LoadRegistry();
    // Saving (see SaveScheduler): the whole table now, raising when it fails; a save after a
    // change, written away from the loop; at shutdown, the save in flight and what waits.
    void SaveRegistry() { saves_.SaveNow(); }
    void RequestSave() { saves_.Request(); }
    void FinishSaves() { saves_.Finish(); }
    void SortByScore() { Cad.SortByScore(); }
    std::string RegistryPath() const { return Files().PathOf(kRegistryFileName); }

    // Outgoing messages.
    void SendMessageTo(std::string_view address, std::string_view message);
    void Broadcast(std::string_view message);
    void SendPlayerList();
    void SendRanking();
    // The player list or the ranking after a change, paced (see SnapshotPacer): broadcast
    // now, or merged into the broadcast at the end of the interval. requester is the row
    // whose request made the change: while merged, it is sent the snapshot at once, in its
    // place among its own answers, and is not sent the same snapshot again at the end.
    void PublishPlayerList(std::optional<Registry::RowId> requester = std::nullopt);
    void PublishRanking(std::optional<Registry::RowId> requester = std::nullopt);

    // The running handler's messages from here on show scores (or welcome a new nick).
    void HoldScores() { saves_.HoldScores(); }

    // Requests: called once for every datagram that reaches UDP1, with its bytes, which it
    // copies first thing (they are UDP1's and good only until its next receive).
    void UDP1DataReceived(DatagramEndpoint& Sender, std::int32_t NumberBytes,
                          const std::string& FromIP, std::int32_t Port, std::string_view Bytes);
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

    // The lobby's paced work, when it falls due: the merged player list and ranking, and the
    // new nicks that waited for the lobby's allowance. Timer2 calls it, armed only while
    // something waits; tests call it after stepping the clock.
    void Timer2Timer();

    const std::string& LogDate() const { return LogFile.LogDate(); }

    using TrafficCounters = lobby::TrafficCounters;    const TrafficCounters& Counters() const { return counters_; }
    void CountDropped() { ++counters_.dropped; }
    // "players online N, registered N, datagrams in N, out N, dropped N, log today 12.3 MB".
    std::string StatusLine() const;

    // Limits and log keeping changed while serving (the configuration read again): the flood
    // guard, the registry's capacity and the log keeper take them at once.
    void ApplyLimits(const FloodLimits& limits, std::int32_t capacity, const LogKeepingOptions& logKeeping);
    // Start-up: the bans kept in the data folder. Raises Exception naming the file for one
    // that cannot be read or holds a line that is no ban.
    void LoadBans();
    std::string BansPath() const { return AppFolder + BanList::kFileName; }

    using SaveRecord = lobby::SaveRecord;    const SaveRecord& LastSave() const { return saves_.LastSave(); }
    // Seconds since the player made a request; nothing when it made none since start-up.
    std::optional<std::int64_t> SecondsSinceRequest(Registry::RowId id) const;

    Registry Cad;
    TMemo Memo1;
    std::unique_ptr<DatagramEndpoint> UDP1;
    std::unique_ptr<EventLoop::Registration> Timer1;
    std::unique_ptr<EventLoop::Registration> Timer2;
    std::string AppFolder;
    TrafficLog LogFile;
    std::int32_t TickCount = 0;

    // Per-address limits: asked before a request is logged, and before each datagram is sent.
    FloodGuard Guard;
    // The operator's bans (bans.txt): asked before the flood guard.
    BanList Bans;
    // When the player list and the ranking go out.
    SnapshotPacer Pacer;
    // Compresses and removes the log's closed days (--compress-logs, --keep-logs); null when
    // both are off. Declared after LogFile, whose day changes it hears of, so it goes first.
    std::unique_ptr<LogKeeper> LogKeeping;

private:
    // The operator's console goes the way a player's request would, through the lobby's own
    // operations.
    friend class ConsoleOperations;

    using OutputScope = MessageSender::Scope;
    using OutgoingMessage = MessageSender::Message;

    DataFolder& Files() const { return *environment_.dataFolder; }
    // LoadRegistry's steps for a file not read whole, and for rows whose score is no integer.
    void KeepUnreadRegistry(const LoadFindings& findings);
    void TellBadScores(const LoadFindings& findings);
    void TellDuplicateNicks(const LoadFindings& findings);
    void TellReplay(const ReplayOutcome& outcome);

    std::int64_t MonotonicNowMs() const;
    // Reads the monotonic clock for the handler starting: what its limits and paced work go
    // by, so that a request reads the clock once.
    std::int64_t StartHandlerClock() { return handlerNowMs_ = MonotonicNowMs(); }

    // The request path (requests.cpp), in the order a request takes it.
    // Whether the flood guard lets through a request that would register a new nick.
    bool AdmitRegistration(const RequestSource& source, const RequestFields& request, std::int64_t nowMs);
    // A new nick within the lobby's allowance goes on (true); otherwise it waits its turn,
    // or is dropped when the wait is full of requests before it.
    bool AdmitNewNick(const RequestSource& source, const RequestFields& request, const std::string& bytes,
                      std::int64_t nowMs);
    // Whether the request would register its nick: one that cannot be stored, or a full
    // registry, is refused instead.
    bool WouldRegister(const RequestFields& request) const;
    // A request admitted: logged, logged in, carried out; what it sent is charged to source.
    void CarryOut(const RequestSource& source, const std::string& bytes, const std::optional<RequestFields>& request,
                  int nickRow, std::int64_t nowMs);
    void CarryOutCommand(const RequestSource& source, const std::string& bytes,
                         const std::optional<RequestFields>& request, int nickRow);
    // The requests that waited for the lobby's allowance of new nicks, as far as it goes.
    void ServeWaitingRegistrations(std::int64_t nowMs);
    // The login steps: the player's row, or nothing when the request was refused.
    std::optional<int> LogIn(const RequestSource& source, const RequestFields& request, int nickRow);
    // One operation per command.
    void JoinGame(const RequestSource& source, int row);                      // slc
    void Chat(std::string_view nick, std::string_view text);                  // msg
    void Leave(int row, std::string_view nick);                               // off
    void SendPrivateLine(std::string_view nick, std::string_view argument);   // pvt
    void SetFlag(int row, std::string_view flag);                             // fc+, fc-
    void ReportScore(int row, std::string_view points);                       // scj
    // Sends message to the request's source, asking the flood guard by the source's key.
    void Reply(const RequestSource& source, std::string_view message);

    // Snapshots (messages.cpp).
    void Publish(SnapshotPacer::Kind kind, std::optional<Registry::RowId> requester);
    void SendSnapshot(SnapshotPacer::Kind kind);
    // Broadcast of message to every online row but those whose address is in except.
    void BroadcastExcept(std::string_view message, const std::unordered_set<std::string>& except);
    // Timer2 armed for the first of the paced work still waiting; dropped when none waits.
    void ArmTimer2();

    // Once a minute, from Timer1Timer: the flood guard's summary to the operator, if any.
    void ReportFloods();
    // Shows a handler's error, unless the minute's allowance of errors shown is used up.
    void ShowHandlerError(const std::string& message);
    // The registry holds its capacity of players: new nicks are refused.
    bool RegistryFull() const;
    // Tells the operator that new nicks are being refused, the first time only.
    void ReportRegistryFullOnce();
    // Has the log keeper look over the closed days, when there is one.
    void RequestLogPass();
    // The log keeper for environment_.logKeeping: none when it asks for nothing (or there is
    // no loop for its worker to report through).
    void MakeLogKeeper();

    void NoteRequest(int row);
    bool RefusedByBan(std::string_view address, const std::optional<RequestFields>& request);
    std::vector<std::uint32_t> lastRequestSecond_; // by row identity: monotonic second + 1; 0 none

    FormEnvironment environment_;
    TrafficCounters counters_;
    bool terminateRequested_ = false;
    bool capacityReported_ = false;
    int errorsShownThisMinute_ = 0;
    std::uint64_t errorsHeld_ = 0;
    std::string lastHeldError_;
    SnapshotCopies snapshotCopies_[SnapshotPacer::kKinds];
    RegistrationWait waiting_;
    std::optional<std::int64_t> timer2DueMs_;
    std::int64_t handlerNowMs_ = 0; // the running handler's time (StartHandlerClock)

    MessageSender sender_;
    SaveScheduler saves_; // after sender_, which it tells; its saver's worker ends first
    RegistryChanges changes_{Cad, saves_};
};

} // namespace lobby
