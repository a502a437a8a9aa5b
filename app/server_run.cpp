#include "app/server_run.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "app/service_status.h"
#include "app/standard_error_notifier.h"
#include "app/status_line_filter.h"
#include "net/udp_endpoint.h"
#include "platform/clock.h"
#include "platform/foreign_hold.h"
#include "platform/local_server.h"
#include "platform/monotonic_clock.h"
#include "platform/regional_settings.h"
#include "platform/signal_pipe.h"
#include "platform/standard_error.h"
#include "platform/system_data_folder.h"
#include "platform/system_event_loop.h"
#include "platform/tcp_server.h"
#include "server/console/console.h"
#include "server/console/console_protocol.h"
#include "server/console/metrics_http.h"
#include "server/lobby/form1.h"
#include "server/registry/registry_file.h"

namespace lobby {

void SayOnStandardError(ProgramKind kind, const std::string& text)
{
    WriteErrorLine(ProgramName(kind), text);
}

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
    form.ApplyLimits(limits.floodLimits, limits.capacity, limits.logKeeping);

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

// A start refused before the loop ran: the operator is told why, in the window's error box
// too when there is a window (a desktop operator sees no standard error), after the errors
// held since start-up, which only the running loop would have shown.
void TellRefusedStart(const FrontEnd& frontEnd, const std::string& exeName, const std::string& why)
{
    if (frontEnd.window) {
        SayOnStandardError(frontEnd.program, why);
        frontEnd.window->ShowHeldErrors();
    }
    frontEnd.notifier.ShowError(ErrorBoxCaption(exeName), ErrorBoxText(why));
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
    const TForm1::SaveRecord& save = form.LastSave();
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
        const std::string line = form.StatusLine();
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

std::optional<int> ReadCommandLine(int argc, char** argv, ProgramKind kind, CommandLine& commandLine)
{
    try {
        commandLine = ParseCommandLine(argc, argv);
    } catch (const std::invalid_argument& error) {
        SayOnStandardError(kind, std::string(error.what()) + " (see " + ProgramName(kind) + " --help)");
        return 2;
    }
    if (!commandLine.help && !commandLine.version) {
        // The configuration file is read before any file is touched: a setting it cannot take
        // refuses the start as a wrong option does, naming the file, the line and the key.
        try {
            Configured configured = WithConfiguration(commandLine);
            for (const std::string& note : configured.overridden)
                SayOnStandardError(kind, note);
            commandLine = std::move(configured.line);
        } catch (const std::invalid_argument& error) {
            SayOnStandardError(kind, error.what());
            return 2;
        }
    }
    if (commandLine.checkConfig) {
        // Nothing is touched: what the service manager runs before a reload (and an operator
        // before a restart), so a mistake fails the reload with the lobby as it was.
        std::printf("%s: the settings are good\n",
                    commandLine.configFile ? commandLine.configFile->c_str() : "the command line (no --config FILE)");
        return 0;
    }
    if (commandLine.help) {
        std::fputs(UsageText(kind).c_str(), stdout);
        return 0;
    }
    if (commandLine.version) {
        // The build gives LOBBY_VERSION, the project's version in CMakeLists.txt.
        std::printf("%s %s\n", ProgramName(kind).c_str(), LOBBY_VERSION);
        return 0;
    }
    return std::nullopt;
}

int RunServer(const CommandLine& commandLine, const std::string& exeName, FrontEnd frontEnd)
{
    SystemClock clock;
    RegionalSettings regional = ReadSystemRegionalSettings();

    FormEnvironment environment;
    environment.clock = &clock;
    environment.regional = &regional;
    environment.notifier = &frontEnd.notifier;
    environment.loop = &frontEnd.loop;
    environment.exeName = exeName;
    environment.appFolder = commandLine.dataFolder.value_or(DefaultDataFolder());
    environment.arguments = commandLine.arguments;
    environment.keepSavedText = frontEnd.window != nullptr; // only a window shows the memo
    ApplyServerLimits(commandLine, environment); // --rate-limit, --registration-limit, --capacity
    const TUDPEndpoint* udp = nullptr;
    environment.makeEndpoint = [&](TForm1& form) {
        auto endpoint = std::make_unique<TUDPEndpoint>(frontEnd.loop);
        udp = endpoint.get();
        endpoint->SetRemotePort(commandLine.replyPort);
        endpoint->SetLocalPort(commandLine.listenPort);
        endpoint->SetReportLevel(1);
        endpoint->OnDataReceived = [&form](TUDPEndpoint& sender, std::int32_t numberBytes,
                                           const std::string& fromIp, std::int32_t port) {
            form.RunHandler([&] { form.UDP1DataReceived(sender, numberBytes, fromIp, port); });
        };
        endpoint->OnReceiveBatch = [&form](TUDPEndpoint&, const std::function<void()>& announce) {
            form.UDP1DataReceivedTogether(announce);
        };
        return std::unique_ptr<DatagramEndpoint>(std::move(endpoint));
    };

    // A folder that cannot be made or written would have the lobby take registrations and
    // scores only to lose them all: the start is refused instead, before a port is bound.
    // A folder someone else can write or replace would hand them the passwords and the
    // console: the start is refused too.
    try {
        PrepareDataFolder(environment.appFolder);
        RefuseForeignDataFolder(environment.appFolder);
    } catch (const Exception& error) {
        TellRefusedStart(frontEnd, exeName, error.Message());
        return 1;
    }

    // Without its endpoint the window cannot be made: the operator is told why, and the
    // program ends instead of running deaf.
    std::unique_ptr<TForm1> form;
    try {
        form = std::make_unique<TForm1>(std::move(environment));
    } catch (const std::exception& error) {
        TellRefusedStart(frontEnd, exeName, error.what());
        return 1;
    }

    // What the service manager hears (nothing when it did not start the lobby).
    std::unique_ptr<ServiceNotifier> manager;
    try {
        manager = ServiceNotifier::FromEnvironment();
    } catch (const Exception& error) {
        form->ShowError(error.Message() + "; the service manager is not told of the lobby's state");
    }
    ServiceStatus service(manager.get(), frontEnd.loop, [&](const std::string& why) { form->ShowError(why); });

    // The settings in force, and how they are read again (SIGHUP, lobbyctl reload). Either
    // way the operator's record has one line of what changed, or why nothing did.
    CommandLine running = commandLine;
    const auto reload = [&]() -> ConsoleReply {
        service.Reloading();
        regional = ReadSystemRegionalSettings();
        const ConsoleReply result = ReloadConfiguration(running, *form);
        if (result.ok)
            frontEnd.notifier.ShowNotice(ErrorBoxCaption(exeName), OneLine(result));
        else
            form->ShowError(OneLine(result));
        service.Ready(ServiceStateLine(*form));
        return result;
    };

    // The operator's console: made before start-up touches any file, as the port is.
    std::unique_ptr<LocalServer> control;
    SystemMonotonicClock monotonic;
    Console console(*form, monotonic, &frontEnd.loop,
                    ConsoleSetup{ProgramName(frontEnd.program), LOBBY_VERSION, reload,
                                 [&] { return control ? control->Counters() : LocalServerCounters{}; }});
    console.TellChangesTo([&](const std::string& line) { frontEnd.notifier.ShowNotice(ErrorBoxCaption(exeName), line); });
    // A socket another lobby listens on ends this one (lobbyctl would reach the wrong lobby);
    // one that cannot be made (an unwritable folder, a path too long) leaves the lobby serving
    // without its console, which the operator is told.
    const std::string controlPath = commandLine.controlPath.value_or(form->AppFolder + kControlFileName);
    try {
        RefuseForeignControlPath(controlPath);
    } catch (const Exception& error) {
        TellRefusedStart(frontEnd, exeName, error.Message());
        return 1;
    }
    try {
        control = std::make_unique<LocalServer>(
            frontEnd.loop, ControlOptions(controlPath),
            [&console](std::string request, LocalAnswer answer) {
                console.Handle(request, [answer](std::string text) { answer.Send(std::move(text)); });
            });
    } catch (const LocalSocketInUse& error) {
        TellRefusedStart(frontEnd, exeName, error.Message());
        return 1;
    } catch (const Exception& error) {
        form->ShowError(error.Message() + "; the lobby serves without its console");
    }

    // The figures over HTTP: an address the operator asked for and cannot have ends the
    // start, as a taken port does, rather than leave the lobby unwatched unnoticed.
    std::unique_ptr<TcpServer> metrics;
    try {
        metrics = MakeMetricsServer(frontEnd.loop, commandLine, console);
    } catch (const Exception& error) {
        TellRefusedStart(frontEnd, exeName, error.Message() + " (--metrics-listen)");
        return 1;
    }

    SignalPipe signalPipe(frontEnd.loop, [&] { frontEnd.loop.Quit(); }, [&] { reload(); });
    if (frontEnd.window)
        frontEnd.window->Make(*form);

    // Start-up runs to its end before the loop takes its first event, so no datagram is
    // handled before the access word is checked and the registry is loaded.
    form->RunHandler([&] { form->FormCreate(); });
    std::optional<std::string> unreadable;
    form->RunHandler([&] {
        try {
            form->FormActivate();
        } catch (const RegistryUnreadable& error) {
            unreadable = error.Message();
        }
    });
    // The bans are in force before the first request; a list that cannot be read would let
    // in whom the operator shut out, so the start is refused as for the registry.
    if (!unreadable && !form->TerminateRequested()) {
        try {
            form->LoadBans();
        } catch (const Exception& error) {
            unreadable = error.Message() + "; the server does not start";
        }
    }
    if (unreadable) {
        form->RunHandler([&] { form->LogFile.Close(); });
        TellRefusedStart(frontEnd, exeName,
                         unreadable->find("; the server does not start") == std::string::npos
                             ? *unreadable + "; the server does not start, and leaves the file as it is"
                             : *unreadable);
        return 1;
    }
    if (form->TerminateRequested()) {
        form->RunHandler([&] { form->FormDestroy(); });
        SayOnStandardError(frontEnd.program, "the first argument must be the access word");
        if (frontEnd.window)
            frontEnd.window->ShowHeldErrorsAtEnd(); // what failed on the way out (a write-back, the log)
        return 2;
    }

    const bool printStatus = !frontEnd.window && !commandLine.quiet;
    if (printStatus) {
        std::printf("%s\n", StartLine(*form, udp ? udp->BoundPort() : 0).c_str());
        std::fflush(stdout);
    }
    ServeUntilClosed(frontEnd, *form, service, printStatus, monotonic);

    metrics.reset();
    if (frontEnd.window)
        frontEnd.window->Close();
    const bool savedClean = form->RunHandler([&] { form->FormDestroy(); });
    if (savedClean && form->RegistryLoaded())
        frontEnd.notifier.ShowNotice(ErrorBoxCaption(exeName),
                                     "closed; the registry is saved to " + form->RegistryPath() + " (" +
                                         std::to_string(std::max(form->Cad.RowCount() - 1, 0)) + " players)");
    // Errors held back in the last minute would otherwise end with the program unheard.
    form->ReportHeldErrors();
    return savedClean ? 0 : 1;
}

int RunHeadless(const CommandLine& commandLine, const std::string& exeName, ProgramKind program)
{
    try {
        const std::unique_ptr<SystemEventLoop> loop = MakeSystemEventLoop();
        StandardErrorNotifier notifier;
        return RunServer(commandLine, exeName, FrontEnd{*loop, notifier, [&] { loop->Run(); }, program});
    } catch (const std::exception& error) {
        SayOnStandardError(program, error.what());
        return 1;
    }
}

} // namespace lobby
