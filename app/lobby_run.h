#pragma once

// One run of the server from start-up to shutdown, in the steps it takes: prepare the data
// folder, make the form, make the console, start up, serve, shut down. Each step keeps what
// it made in the run, so that what a later step needs (and what must end last) outlives it.

#include <memory>
#include <optional>
#include <string>

#include "app/command_line.h"
#include "app/server_run.h"
#include "app/service_status.h"
#include "platform/clock.h"
#include "platform/monotonic_clock.h"
#include "platform/regional_settings.h"
#include "server/console/console.h"
#include "server/lobby/form1.h"

namespace lobby {

class LocalServer;
class ServiceNotifier;
class SignalPipe;
class TcpServer;
class TUDPEndpoint;

class LobbyRun {
public:
    LobbyRun(const CommandLine& commandLine, const std::string& exeName, FrontEnd frontEnd);
    ~LobbyRun();
    LobbyRun(const LobbyRun&) = delete;
    LobbyRun& operator=(const LobbyRun&) = delete;

    // Runs every step and returns the exit status. A refused start is told to the operator
    // here; any other error leaves to the caller once what the run made is gone.
    int Run();

private:
    void Prepare();
    void Make();
    void MakeConsole();
    bool StartUp();
    void Serve();
    int ShutDown();
    int EndWithoutAccessWord();
    void TellRefusedStart(const std::string& why);
    void MakeControlServer(const std::string& controlPath);
    ConsoleReply Reload();

    const CommandLine& commandLine_;
    const std::string& exeName_;
    FrontEnd frontEnd_;

    SystemClock clock_;
    RegionalSettings regional_;
    FormEnvironment environment_;
    const TUDPEndpoint* udp_ = nullptr;
    std::unique_ptr<TForm1> form_;
    std::unique_ptr<ServiceNotifier> manager_;
    std::unique_ptr<ServiceStatus> service_;
    CommandLine running_;
    std::unique_ptr<LocalServer> control_;
    SystemMonotonicClock monotonic_;
    std::unique_ptr<Console> console_;
    std::unique_ptr<TcpServer> metrics_;
    std::unique_ptr<SignalPipe> signalPipe_;
};

} // namespace lobby
