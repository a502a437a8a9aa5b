// lobby-server-window: the game lobby's server with its window. Started with the access
// word, it shows the registry live in a window over Qt's loop until the operator closes it
// or sends SIGINT/SIGTERM. With --headless it runs as lobby-server does; with no display to
// open the window on it says so in one line and runs headless too, rather than failing.
#include <QApplication>
#include <QTimer>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/message_box_notifier.h"
#include "app/qt_event_loop.h"
#include "app/server_run.h"

namespace lobby {

namespace {

// Qt's window, its error box and the grid over the form.
class QtServerWindow : public ServerWindow {
public:
    MessageBoxNotifier& Box() { return box_; }

    void Make(TForm1& form) override { window_ = std::make_unique<MainWindow>(form); }
    void Show() override
    {
        window_->show();
        QTimer::singleShot(0, [this] { box_.StartShowing(); });
    }
    void ShowHeldErrors() override { box_.StartShowing(); }
    void Close() override { window_.reset(); }

private:
    MessageBoxNotifier box_;
    std::unique_ptr<MainWindow> window_;
};

// Why there is no display to open the window on, or nothing when one is named. Qt is not
// started without one.
std::optional<std::string> NoDisplayNamed()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return std::nullopt;
    }
    return "no display (DISPLAY and WAYLAND_DISPLAY are not set)";
}

// The platforms Qt is to try, in order: the one the environment chose, then "minimal", which
// needs no display. Qt ends the process (SIGABRT) when no platform on its list starts, so a
// display that is named but not there (a closed X server, an ssh session's stale DISPLAY)
// would otherwise kill the server before it served; landing on "minimal" means exactly that.
constexpr const char* kNoDisplayPlatform = "minimal";
std::string PlatformsToTry()
{
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    std::string platforms = chosen && *chosen ? chosen : std::getenv("WAYLAND_DISPLAY") ? "wayland;xcb" : "xcb";
    return platforms + ";" + kNoDisplayPlatform;
}

// What Qt said while it tried the platforms: its first warning names the display it could not
// reach. Kept instead of printed, so the operator reads one line of ours.
std::string g_platformComplaint;
void KeepPlatformComplaint(QtMsgType, const QMessageLogContext&, const QString& message)
{
    if (g_platformComplaint.empty())
        g_platformComplaint = message.toStdString();
}

int RunWithoutDisplay(const CommandLine& commandLine, const std::string& exeName, const std::string& why)
{
    SayOnStandardError(ProgramKind::Window, why + "; serving headless");
    return RunHeadless(commandLine, exeName, ProgramKind::Window);
}

} // namespace

} // namespace lobby

using namespace lobby;

int main(int argc, char** argv)
{
    CommandLine commandLine;
    if (const auto done = ReadCommandLine(argc, argv, ProgramKind::Window, commandLine))
        return *done;
    const std::string exeName = argc > 0 ? argv[0] : "lobby-server-window";
    if (commandLine.headless)
        return RunHeadless(commandLine, exeName, ProgramKind::Window);
    if (const auto why = NoDisplayNamed())
        return RunWithoutDisplay(commandLine, exeName, *why);

    // Qt reads (and takes out) its own -platform option; the server's words stay as given.
    std::string platforms = PlatformsToTry();
    std::vector<char*> qtArguments(argv, argv + argc);
    qtArguments.insert(qtArguments.begin() + 1, {const_cast<char*>("-platform"), platforms.data()});
    int qtArgumentCount = static_cast<int>(qtArguments.size());
    qtArguments.push_back(nullptr);
    {
        const QtMessageHandler previous = qInstallMessageHandler(KeepPlatformComplaint);
        QApplication application(qtArgumentCount, qtArguments.data());
        qInstallMessageHandler(previous);
        if (QGuiApplication::platformName() != kNoDisplayPlatform) {
            QtEventLoop loop;
            QtServerWindow window;
            return RunServer(commandLine, exeName,
                             FrontEnd{loop, window.Box(), [] { QApplication::exec(); }, ProgramKind::Window, &window});
        }
    }
    return RunWithoutDisplay(commandLine, exeName,
                             "no display to open the window on" +
                                 (g_platformComplaint.empty() ? std::string() : " (" + g_platformComplaint + ")"));
}
