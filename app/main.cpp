// lobby-server: the game lobby's server. Started with the access word, it serves requests on
// UDP until the operator closes its window or sends SIGINT/SIGTERM. With a display it shows
// its window over Qt's loop; with --headless, or with no display, it runs on a bare epoll
// loop and needs no Qt at all.
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include "app/command_line.h"
#include "app/main_window.h"
#include "app/notifiers.h"
#include "app/qt_event_loop.h"
#include "net/udp_endpoint.h"
#include "platform/clock.h"
#include "platform/epoll_event_loop.h"
#include "platform/regional_settings.h"
#include "platform/signal_pipe.h"
#include "platform/standard_error.h"
#include "platform/system_data_folder.h"
#include "server/form1.h"
#include "server/registry_file.h"

namespace lobby {

namespace {

bool DisplayAvailable()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

void SayOnStandardError(const std::string& text)
{
    WriteErrorLine("lobby-server", text);
}

// What differs between the window and the headless server.
struct FrontEnd {
    EventLoop& loop;
    OperatorNotifier& notifier;
    std::function<void()> runLoop;       // returns when the loop has been told to quit
    MessageBoxNotifier* box = nullptr;   // the window's error box, when there is a window
};

// A start refused before the loop ran: the operator is told why, in the window's error box
// too when there is a window (a desktop operator sees no standard error), after the errors
// held since start-up, which only the running loop would have shown.
void TellRefusedStart(const FrontEnd& frontEnd, const std::string& exeName, const std::string& why)
{
    if (frontEnd.box) {
        SayOnStandardError(why);
        frontEnd.box->StartShowing();
    }
    frontEnd.notifier.ShowError(ErrorBoxCaption(exeName), ErrorBoxText(why));
}

// Headless, the one line that says the server is up and where its files are.
std::string StartLine(const TForm1& form, std::uint16_t port)
{
    const int players = std::max(form.Cad.RowCount() - 1, 0);
    return "listening on UDP port " + std::to_string(port) + "; data folder " + form.AppFolder + "; " +
           std::to_string(players) + (players == 1 ? " player" : " players") + " registered; traffic log " +
           form.LogFile.FileName();
}

// Builds the main window and its components, runs start-up, serves until told to close, and
// shuts down. Returns the exit status.
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
    environment.appFolder = commandLine.dataFolder.value_or(DefaultDataFolder(LOBBY_DEFAULT_DATA_DIR));
    environment.arguments = commandLine.arguments;
    environment.keepSavedText = frontEnd.box != nullptr; // only a window shows the memo
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
        return std::unique_ptr<DatagramEndpoint>(std::move(endpoint));
    };

    // A folder that cannot be made or written would have the lobby take registrations and
    // scores only to lose them all: the start is refused instead, before a port is bound.
    try {
        PrepareDataFolder(environment.appFolder);
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

    SignalPipe signalPipe(frontEnd.loop, [&] { frontEnd.loop.Quit(); },
                          [&] { regional = ReadSystemRegionalSettings(); });
    std::unique_ptr<MainWindow> window;
    if (frontEnd.box)
        window = std::make_unique<MainWindow>(*form);

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
    if (unreadable) {
        form->RunHandler([&] { form->LogFile.Close(); });
        TellRefusedStart(frontEnd, exeName, *unreadable + "; the server does not start, and leaves the file as it is");
        return 1;
    }
    if (form->TerminateRequested()) {
        form->RunHandler([&] { form->FormDestroy(); });
        SayOnStandardError("the first argument must be the access word");
        if (frontEnd.box)
            frontEnd.box->StartShowing(); // what failed on the way out (a write-back, the log)
        return 2;
    }

    std::unique_ptr<EventLoop::Registration> statusTimer;
    if (!frontEnd.box && !commandLine.quiet) {
        std::printf("%s\n", StartLine(*form, udp ? udp->BoundPort() : 0).c_str());
        std::fflush(stdout);
        statusTimer = frontEnd.loop.StartTimer(TForm1::kTimerIntervalMs, [&] {
            std::printf("%s\n", form->StatusLine().c_str());
            std::fflush(stdout);
        });
    }
    if (window) {
        window->show();
        QTimer::singleShot(0, [&] { frontEnd.box->StartShowing(); });
    }
    frontEnd.runLoop();

    statusTimer.reset();
    window.reset();
    const bool savedClean = form->RunHandler([&] { form->FormDestroy(); });
    // Errors held back in the last minute would otherwise end with the program unheard.
    form->ReportHeldErrors();
    return savedClean ? 0 : 1;
}

} // namespace

} // namespace lobby

// The entry point stays outside; everything it uses is the program's own.
using namespace lobby;

int main(int argc, char** argv)
{
    CommandLine commandLine;
    try {
        commandLine = ParseCommandLine(argc, argv);
    } catch (const std::invalid_argument& error) {
        SayOnStandardError(std::string(error.what()) + " (see lobby-server --help)");
        return 2;
    }
    if (commandLine.help) {
        std::fputs(UsageText(LOBBY_DEFAULT_DATA_DIR).c_str(), stdout);
        return 0;
    }
    if (commandLine.version) {
        // The build gives LOBBY_VERSION, the project's version in CMakeLists.txt.
        std::fputs("lobby-server " LOBBY_VERSION "\n", stdout);
        return 0;
    }
    const std::string exeName = argc > 0 ? argv[0] : "lobby-server";

    if (!commandLine.headless && DisplayAvailable()) {
        QApplication application(argc, argv);
        QtEventLoop loop;
        MessageBoxNotifier box;
        return RunServer(commandLine, exeName, FrontEnd{loop, box, [] { QApplication::exec(); }, &box});
    }

    try {
        EpollEventLoop loop;
        StandardErrorNotifier notifier;
        return RunServer(commandLine, exeName, FrontEnd{loop, notifier, [&] { loop.Run(); }});
    } catch (const std::exception& error) {
        SayOnStandardError(error.what());
        return 1;
    }
}
