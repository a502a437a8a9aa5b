#include "app/lobby_run.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "app/start_refused.h"
#include "app/status_line_filter.h"
#include "net/udp_endpoint.h"
#include "platform/foreign_hold.h"
#include "platform/local_server.h"
#include "platform/service_notifier.h"
#include "platform/signal_pipe.h"
#include "platform/system_data_folder.h"
#include "platform/tcp_server.h"
#include "server/console/console_protocol.h"
#include "server/console/metrics_http.h"
#include "server/registry/registry_file.h"

namespace lobby {

namespace {

// The console's socket in the data folder when --control names none.
constexpr const char* kControlFileName = "lobby.sock";

LocalServerOptions ControlOptions(std::string path)
{
    LocalServerOptions options;
    options.path = std::move(path);
    options.busyAnswer = console_protocol::AnswerText(
        false, "the console is busy with " + std::to_string(options.maxClients) + " clients; try again\n");
    options.tooLongAnswer = console_protocol::AnswerText(
        false, "the request is longer than the " + std::to_string(options.maxRequestBytes) + " bytes the console reads\n");
    return options;
}

// Reads the configuration file again and applies what a running lobby can take: the limits,
// the registry's capacity, what becomes of closed log days. What only a restart can change
// is said so. A file that cannot be read changes nothing.
ConsoleReply ReloadConfiguration(CommandLine& running, TForm1& form)
{
    if (!running.configFile)
        return ConsoleReply{true, "regional settings read again; there is no configuration file (--config FILE)\n",
                            "{\"message\":\"regional settings read again\",\"changes\":[]}"};
    Configured read;
    try {
        read = WithConfiguration(running);
    } catch (const std::invalid_argument& error) {
        const std::string why = std::string(error.what()) + "; the settings in force stay";
        return ConsoleReply{false, why + "\n", "{\"error\":" + console_protocol::JsonText(why) + "}"};
    }
    const std::vector<SettingChange> changes = ChangedSettings(running, read.line);
    running = InForce(running, read.line);
    FormEnvironment limits;
    ApplyServerLimits(running, limits);
    form.Door().SetLimits(limits.floodLimits, limits.capacity);
    form.LogKeeping().Apply(limits.logKeeping, form.Saves().Loaded());

    std::string text = *running.configFile + " and the regional settings read again";
    std::string list;
    for (const SettingChange& change : changes) {
        text += "\n  " + change.text;
        list += (list.empty() ? "" : ",") + console_protocol::JsonText(change.text);
    }
    if (changes.empty())
        text += "; nothing changed";
    return ConsoleReply{true, text + "\n",
                        "{\"message\":" + console_protocol::JsonText(*running.configFile + " read again") +
                            ",\"changes\":[" + list + "]}"};
}

// The console's reply as one line for the operator's record: its lines joined by "; ".
std::string OneLine(const ConsoleReply& reply)
{
    std::string text = reply.text.substr(0, reply.text.find_last_not_of('\n') + 1);
    for (std::size_t at; (at = text.find("\n  ")) != std::string::npos;)
        text.replace(at, 3, "; ");
    return text;
}

// The lobby's state in one line, for the service manager's status: who is there, and
// whether the registry reaches the disk.
std::string ServiceStateLine(const TForm1& form)
{
    const SaveRecord& save = form.Saves().LastSave();
    std::string line = std::to_string(form.Cad.Online().size()) + " online, " +
                       std::to_string(std::max(form.Cad.RowCount() - 1, 0)) + " registered, last save ";
    if (!save.endedAt)
        return line + "none yet";
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", save.endedAt->hour, save.endedAt->minute, save.endedAt->second);
    return line + time + (save.error.empty() ? " ok" : " FAILED");
}

// The figures over HTTP when --metrics-listen asks for them; raises Exception when the
// address cannot be listened on.
std::unique_ptr<TcpServer> MakeMetricsServer(EventLoop& loop, const CommandLine& commandLine, const Console& console)
{
    if (!commandLine.metricsAddress)
        return nullptr;
    TcpServerOptions options;
    options.address = *commandLine.metricsAddress;
    options.port = commandLine.metricsPort;
    options.busyAnswer = metrics_http::Busy();
    options.tooLongAnswer = metrics_http::TooLong();
    options.timeoutAnswer = metrics_http::TimedOut();
    return std::make_unique<TcpServer>(loop, std::move(options), [&console](const std::string& request) {
        return metrics_http::Answer(request, [&console] { return console.MetricsText(); });
    });
}

// Runs the loop until the lobby is told to close, the service manager told it serves. Each
// minute the manager hears the lobby's state, and standard output the status line when it
// says something new (or an hour has passed).
void ServeUntilClosed(const FrontEnd& frontEnd, TForm1& form, ServiceStatus& service, bool printStatus,
                      const MonotonicClock& monotonic)
{
    StatusLineFilter statusLines;
    const std::unique_ptr<EventLoop::Registration> statusTimer = frontEnd.loop.StartTimer(TForm1::kTimerIntervalMs, [&] {
        service.Status(ServiceStateLine(form));
        const std::string line = form.Status().Line();
        if (printStatus && statusLines.Take(line, monotonic.NowMs())) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        }
    });
    if (frontEnd.window)
        frontEnd.window->Show();
    service.Ready(ServiceStateLine(form));
    frontEnd.runLoop();
    service.Stopping();
}

// Headless, the one line that says the server is up and where its files are.
std::string StartLine(const TForm1& form, std::uint16_t port)
{
    const int players = std::max(form.Cad.RowCount() - 1, 0);
    return "listening on UDP port " + std::to_string(port) + "; data folder " + form.AppFolder + "; " +
           std::to_string(players) + (players == 1 ? " player" : " players") + " registered; traffic log " +
           form.LogFile.FileName();
}

} // namespace

LobbyRun::LobbyRun(const CommandLine& commandLine, const std::string& exeName, FrontEnd frontEnd)
    : commandLine_(commandLine), exeName_(exeName), frontEnd_(std::move(frontEnd)),
      regional_(ReadSystemRegionalSettings()), running_(commandLine)
{
}

LobbyRun::~LobbyRun() = default;

int LobbyRun::Run()
{
    try {
        Prepare();
        Make();
        MakeConsole();
        if (!StartUp())
            return EndWithoutAccessWord();
    } catch (const StartRefused& refused) {
        TellRefusedStart(refused.what());
        return refused.Status();
    }
    Serve();
    return ShutDown();
}

// The form's environment from the command line, and the data folder made ready. A folder
// that cannot be made or written would have the lobby take registrations and scores only to
// lose them all: the start is refused instead, before a port is bound. A folder someone else
// can write or replace would hand them the passwords and the console: refused too.
void LobbyRun::Prepare()
{
    environment_.clock = &clock_;
    environment_.regional = &regional_;
    environment_.notifier = &frontEnd_.notifier;
    environment_.loop = &frontEnd_.loop;
    environment_.exeName = exeName_;
    environment_.appFolder = commandLine_.dataFolder.value_or(DefaultDataFolder());
    environment_.arguments = commandLine_.arguments;
    environment_.keepSavedText = frontEnd_.window != nullptr; // only a window shows the memo
    ApplyServerLimits(commandLine_, environment_); // --rate-limit, --registration-limit, --capacity
    environment_.makeEndpoint = [this](TForm1& form) {
        auto endpoint = std::make_unique<TUDPEndpoint>(frontEnd_.loop);
        udp_ = endpoint.get();
        endpoint->SetRemotePort(commandLine_.replyPort);
        endpoint->SetLocalPort(commandLine_.listenPort);
        endpoint->SetReportLevel(1);
        // Each batch reaches the requests once, every datagram with its bytes; OnDataReceived
        // stays unassigned, as the batch handler takes its place.
        endpoint->OnReceiveBatch = [&form](TUDPEndpoint& sender, ReceivedBatch& batch) {
            form.UDP1BatchReceived(sender, batch);
        };
        return std::unique_ptr<DatagramEndpoint>(std::move(endpoint));
    };
    try {
        PrepareDataFolder(environment_.appFolder);
        RefuseForeignDataFolder(environment_.appFolder);
    } catch (const Exception& error) {
        throw StartRefused(1, error.Message());
    }
}

// The form with its components, and what the service manager hears. Without its endpoint
// the window cannot be made: the start is refused instead of running deaf.
void LobbyRun::Make()
{
    try {
        form_ = std::make_unique<TForm1>(std::move(environment_));
    } catch (const std::exception& error) {
        throw StartRefused(1, error.what());
    }
    // Nothing is told when the service manager did not start the lobby.
    try {
        manager_ = ServiceNotifier::FromEnvironment();
    } catch (const Exception& error) {
        form_->Errors().ShowError(error.Message() + "; the service manager is not told of the lobby's state");
    }
    service_ = std::make_unique<ServiceStatus>(manager_.get(), frontEnd_.loop,
                                               [this](const std::string& why) { form_->Errors().ShowError(why); });
}

// The settings read again (SIGHUP, lobbyctl reload). Either way the operator's record has
// one line of what changed, or why nothing did.
ConsoleReply LobbyRun::Reload()
{
    service_->Reloading();
    regional_ = ReadSystemRegionalSettings();
    const ConsoleReply result = ReloadConfiguration(running_, *form_);
    if (result.ok)
        form_->Errors().ShowNotice(OneLine(result));
    else
        form_->Errors().ShowError(OneLine(result));
    service_->Ready(ServiceStateLine(*form_));
    return result;
}

// The operator's console, the figures over HTTP and the signals: made before start-up
// touches any file, as the port is. An address the operator asked for the figures and cannot
// have ends the start, as a taken port does, rather than leave the lobby unwatched unnoticed.
void LobbyRun::MakeConsole()
{
    console_ = std::make_unique<Console>(
        form_->Console(), monotonic_, &frontEnd_.loop,
        ConsoleSetup{ProgramName(frontEnd_.program), LOBBY_VERSION, [this] { return Reload(); },
                     [this] { return control_ ? control_->Counters() : LocalServerCounters{}; }});
    console_->TellChangesTo(
        [this](const std::string& line) { form_->Errors().ShowNotice(line); });
    MakeControlServer(commandLine_.controlPath.value_or(form_->AppFolder + kControlFileName));
    try {
        metrics_ = MakeMetricsServer(frontEnd_.loop, commandLine_, *console_);
    } catch (const Exception& error) {
        throw StartRefused(1, error.Message() + " (--metrics-listen)");
    }
    signalPipe_ = std::make_unique<SignalPipe>(frontEnd_.loop, [this] { frontEnd_.loop.Quit(); }, [this] { Reload(); });
}

// A socket another lobby listens on ends this one (lobbyctl would reach the wrong lobby);
// one that cannot be made (an unwritable folder, a path too long) leaves the lobby serving
// without its console, which the operator is told.
void LobbyRun::MakeControlServer(const std::string& controlPath)
{
    try {
        RefuseForeignControlPath(controlPath);
    } catch (const Exception& error) {
        throw StartRefused(1, error.Message());
    }
    try {
        control_ = std::make_unique<LocalServer>(frontEnd_.loop, ControlOptions(controlPath),
                                                 [this](std::string request, LocalAnswer answer) {
                                                     console_->Handle(request, [answer](std::string text) {
                                                         answer.Send(std::move(text));
                                                     });
                                                 });
    } catch (const LocalSocketInUse& error) {
        throw StartRefused(1, error.Message());
    } catch (const Exception& error) {
        form_->Errors().ShowError(error.Message() + "; the lobby serves without its console");
    }
}

// Start-up runs to its end before the loop takes its first event, so no datagram is handled
// before the access word is checked and the registry is loaded. The bans are in force before
// the first request; a list that cannot be read would let in whom the operator shut out, so
// the start is refused as for the registry. Returns false when the access word is missing.
bool LobbyRun::StartUp()
{
    if (frontEnd_.window)
        frontEnd_.window->Make(*form_);
    form_->RunHandler([&] { form_->FormCreate(); });
    std::optional<std::string> unreadable;
    form_->RunHandler([&] {
        try {
            form_->FormActivate();
        } catch (const RegistryUnreadable& error) {
            unreadable = error.Message() + "; the server does not start, and leaves the file as it is";
        }
    });
    if (!unreadable && form_->TerminateRequested())
        return false;
    if (!unreadable) {
        try {
            form_->Door().LoadBans();
        } catch (const Exception& error) {
            unreadable = error.Message() + "; the server does not start";
        }
    }
    if (!unreadable)
        return true;
    form_->RunHandler([&] { form_->LogFile.Close(); });
    throw StartRefused(1, *unreadable);
}

// Without the access word the form ends as it would on closing: its registry written back
// and its log closed, with what failed on the way out shown as the process ends.
int LobbyRun::EndWithoutAccessWord()
{
    form_->RunHandler([&] { form_->FormDestroy(); });
    SayOnStandardError(frontEnd_.program, "the first argument must be the access word");
    if (frontEnd_.window)
        frontEnd_.window->ShowHeldErrorsAtEnd();
    return 2;
}

// Headless (and not --quiet), the start line and the status lines go to standard output.
void LobbyRun::Serve()
{
    const bool printStatus = !frontEnd_.window && !commandLine_.quiet;
    if (printStatus) {
        std::printf("%s\n", StartLine(*form_, udp_ ? udp_->BoundPort() : 0).c_str());
        std::fflush(stdout);
    }
    ServeUntilClosed(frontEnd_, *form_, *service_, printStatus, monotonic_);
}

// The figures stop first, then the window; the form saves the registry. Status 1 when the
// last save failed. Errors held back in the last minute would otherwise end unheard.
int LobbyRun::ShutDown()
{
    metrics_.reset();
    if (frontEnd_.window)
        frontEnd_.window->Close();
    const bool savedClean = form_->RunHandler([&] { form_->FormDestroy(); });
    if (savedClean && form_->Saves().Loaded())
        form_->Errors().ShowNotice("closed; the registry is saved to " + form_->Saves().RegistryPath() + " (" +
                                   std::to_string(std::max(form_->Cad.RowCount() - 1, 0)) + " players)");
    form_->Errors().ReportHeldErrors();
    return savedClean ? 0 : 1;
}

// A start refused before the loop ran: the operator is told why, in the window's error box
// too when there is a window (a desktop operator sees no standard error), after the errors
// held since start-up, which only the running loop would have shown.
void LobbyRun::TellRefusedStart(const std::string& why)
{
    if (frontEnd_.window) {
        SayOnStandardError(frontEnd_.program, why);
        frontEnd_.window->ShowHeldErrors();
    }
    frontEnd_.notifier.ShowError(ErrorBoxCaption(exeName_), ErrorBoxText(why));
}

} // namespace lobby
