// lobby-server.exe: the game lobby's server on Windows. Started with the access word, it
// shows the registry live in its native window until the operator closes it (which saves);
// with --headless it serves in the console until Ctrl+C, Ctrl+Break or the console closes.
// The command line is read wide, so folder names keep every letter.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "app/server_run.h"
#include "app/win32/error_box.h"
#include "app/win32/form_data_source.h"
#include "app/win32/main_window.h"
#include "app/win32/start_help.h"
#include "platform/command_words.h"
#include "platform/win32/service.h"
#include "platform/system_event_loop.h"

namespace lobby {

namespace {

constexpr ProgramKind kProgram = ProgramKind::WindowsWindow;

// The native window over the form, its error box, and the loop its close button ends.
class NativeServerWindow : public ServerWindow {
public:
    explicit NativeServerWindow(EventLoop& loop) : loop_(loop) {}

    win32::ErrorBox& Box() { return box_; }

    void Make(TForm1& form) override
    {
        source_ = std::make_unique<win32::FormDataSource>(form);
        window_ = std::make_unique<win32::MainWindow>(::GetModuleHandleW(nullptr), *source_);
        window_->OnClose = [this] { loop_.Quit(); };
    }
    void Show() override
    {
        window_->Show(SW_SHOWNORMAL);
        loop_.Post([this] {
            box_.SetLoopRunning(true);
            box_.StartShowing();
        });
    }
    void ShowHeldErrors() override { box_.StartShowing(); }
    // Each error was written to standard error as it was held. Started from a console the
    // operator reads, that is where they are read, and the program ends at once: a box would
    // keep a script or the operator's prompt waiting for a click. Started from Explorer or a
    // shortcut, nobody reads the console, and the box is the only word the operator gets.
    void ShowHeldErrorsAtEnd() override
    {
        if (win32::HasConsoleOfItsOwn())
            box_.StartShowing();
    }
    void Close() override
    {
        // What fails on the way out (the last save) is shown in a box waited for.
        box_.SetLoopRunning(false);
        window_.reset();
        source_.reset();
    }

private:
    EventLoop& loop_;
    win32::ErrorBox box_;
    std::unique_ptr<win32::FormDataSource> source_;
    std::unique_ptr<win32::MainWindow> window_;
};

// Started from Explorer or the Start menu, the program has a console of its own that only
// shows what the window shows already: it is hidden. Started from a console the operator
// keeps, the console stays.
void HideOwnConsole()
{
    if (win32::HasConsoleOfItsOwn())
        ::ShowWindow(::GetConsoleWindow(), SW_HIDE);
}

int RunInWindow(const CommandLine& commandLine, const std::string& exeName)
{
    try {
        const std::unique_ptr<SystemEventLoop> loop = MakeSystemEventLoop();
        NativeServerWindow window(*loop);
        HideOwnConsole();
        return RunServer(commandLine, exeName, FrontEnd{*loop, window.Box(), [&] { loop->Run(); }, kProgram, &window});
    } catch (const std::exception& error) {
        SayOnStandardError(kProgram, error.what());
        return 1;
    }
}

} // namespace

} // namespace lobby

using namespace lobby;

int main(int argc, char** argv)
{
    std::vector<std::string> words = CommandWords(argc, argv);
    if (words.empty())
        words.emplace_back("lobby-server");
    // Double-clicked in Explorer: no argument at all, and no console anybody reads. Before
    // any file is touched, the operator is told what the program needs and how to start it,
    // rather than a console flashing and files appearing in the download folder.
    if (words.size() == 1 && win32::HasConsoleOfItsOwn()) {
        HideOwnConsole();
        win32::ShowStartHelp(ErrorBoxCaption(words[0]));
        return 2;
    }
    // --service: started by the service manager, headless, stopped by it (with a save).
    const auto service = std::find(words.begin() + 1, words.end(), "--service");
    const bool asService = service != words.end();
    if (asService)
        words.erase(service);
    std::vector<char*> utf8Argv;
    for (std::string& word : words)
        utf8Argv.push_back(word.data());
    utf8Argv.push_back(nullptr);

    CommandLine commandLine;
    if (const auto done = ReadCommandLine(static_cast<int>(words.size()), utf8Argv.data(), kProgram, commandLine))
        return *done;
    if (asService)
        return win32::RunAsService([&] { return RunHeadless(commandLine, words[0], kProgram); });
    if (commandLine.headless)
        return RunHeadless(commandLine, words[0], kProgram);
    return RunInWindow(commandLine, words[0]);
}
