#include "platform/win32/service.h"

#include <cstdio>

#include <windows.h>

#include "platform/win32/console_control.h"
#include "platform/win32/windows_error.h"

namespace lobby::win32 {

namespace {

// The service manager calls ServiceMain and the control handler with no room for a context
// of ours: one service a process, kept here.
std::function<int()> g_run;
SERVICE_STATUS_HANDLE g_status = nullptr;
int g_exitCode = 0;

void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHintMs = 0)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwWaitHint = waitHintMs;
    ::SetServiceStatus(g_status, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // The save may take a while on a large registry: the manager is told to wait.
        Report(SERVICE_STOP_PENDING, NO_ERROR, 30000);
        // A stop during start-up comes before the lobby hears console events: it is handed
        // over once the lobby does (a registry of a million players loads in seconds).
        for (int waited = 0; !ConsoleControl::Deliver(CTRL_BREAK_EVENT) && waited < 20000; waited += 50)
            ::Sleep(50);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv)
{
    // The service's name comes first: the one it was installed under.
    g_status = ::RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", &Control, nullptr);
    if (g_status == nullptr)
        return;
    Report(SERVICE_RUNNING);
    g_exitCode = g_run();
    Report(SERVICE_STOPPED, static_cast<DWORD>(g_exitCode));
}

} // namespace

int RunAsService(std::function<int()> run)
{
    g_run = std::move(run);
    // The name is ignored for a service of its own process.
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L""), &ServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) {
        std::fprintf(stderr, "lobby-server: --service is for the service manager (%s); "
                             "install it with sc create\n",
                     SystemMessage(::GetLastError()).c_str());
        return 1;
    }
    return g_exitCode;
}

} // namespace lobby::win32
