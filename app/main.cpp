// lobby-server: the game lobby's server. Started with the access word, it serves requests on
// UDP until the operator closes its window or sends SIGINT/SIGTERM; with --headless, or with
// no display, it runs without a window.
#include <QApplication>
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "app/command_line.h"
#include "app/main_window.h"
#include "app/notifiers.h"
#include "app/qt_event_loop.h"
#include "app/signal_watcher.h"
#include "net/udp_endpoint.h"
#include "platform/clock.h"
#include "platform/regional_settings.h"
#include "server/form1.h"
#include "server/registry_file.h"

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
    const std::string line = "lobby-server: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace

int main(int argc, char** argv)
{
    CommandLine commandLine;
    try {
        commandLine = ParseCommandLine(argc, argv);
    } catch (const std::invalid_argument& error) {
        SayOnStandardError(error.what());
        return 2;
    }

    const bool windowed = !commandLine.headless && DisplayAvailable();
    std::unique_ptr<QCoreApplication> application;
    if (windowed)
        application = std::make_unique<QApplication>(argc, argv);
    else
        application = std::make_unique<QCoreApplication>(argc, argv);

    QtEventLoop loop;
    SystemClock clock;
    RegionalSettings regional = ReadSystemRegionalSettings();
    StandardErrorNotifier standardErrorNotifier;
    MessageBoxNotifier boxNotifier;
    OperatorNotifier& notifier = windowed ? static_cast<OperatorNotifier&>(boxNotifier)
                                          : static_cast<OperatorNotifier&>(standardErrorNotifier);
    const std::string exeName = argc > 0 ? argv[0] : "lobby-server";

    FormEnvironment environment;
    environment.clock = &clock;
    environment.regional = &regional;
    environment.notifier = &notifier;
    environment.loop = &loop;
    environment.exeName = exeName;
    environment.appFolder = commandLine.dataFolder.value_or(ProgramFolder());
    environment.arguments = commandLine.arguments;
    ApplyServerLimits(commandLine, environment); // --rate-limit, --registration-limit, --capacity
    environment.makeEndpoint = [&](TForm1& form) {
        auto endpoint = std::make_unique<TUDPEndpoint>(loop);
        endpoint->SetRemotePort(commandLine.replyPort);
        endpoint->SetLocalPort(commandLine.listenPort);
        endpoint->SetReportLevel(1);
        endpoint->OnDataReceived = [&form](TUDPEndpoint& sender, std::int32_t numberBytes,
                                           const std::string& fromIp, std::int32_t port) {
            form.RunHandler([&] { form.UDP1DataReceived(sender, numberBytes, fromIp, port); });
        };
        return std::unique_ptr<DatagramEndpoint>(std::move(endpoint));
    };

    // Without its endpoint the window cannot be made: the operator is told why, and the
    // program ends instead of running deaf.
    std::unique_ptr<TForm1> form;
    try {
        form = std::make_unique<TForm1>(std::move(environment));
    } catch (const std::exception& error) {
        boxNotifier.StartShowing();
        notifier.ShowError(ErrorBoxCaption(exeName), ErrorBoxText(error.what()));
        return 1;
    }

    SignalWatcher signalWatcher([&] { loop.Quit(); }, [&] { regional = ReadSystemRegionalSettings(); });
    std::unique_ptr<MainWindow> window;
    if (windowed)
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
        SayOnStandardError(*unreadable + "; the server does not start, and leaves the file as it is");
        return 1;
    }
    if (form->TerminateRequested()) {
        form->RunHandler([&] { form->FormDestroy(); });
        SayOnStandardError("the first argument must be the access word");
        return 2;
    }

    if (window) {
        window->show();
        QTimer::singleShot(0, [&] { boxNotifier.StartShowing(); });
    }
    application->exec();

    window.reset();
    const bool savedClean = form->RunHandler([&] { form->FormDestroy(); });
    return savedClean ? 0 : 1;
}
