// What console clients cost the lobby's players: the built lobby-server answers requests
// while clients of its control socket stay silent or flood it, beside the same server with
// no console client, measured in the same run, rounds interleaved.
//
// The players' side: a client on 127.0.0.1 keeps kWindow requests in flight (a wrong
// password, answered with one datagram after one log line each) and counts the answers a
// second; a second phase sends one at a time and takes the median and the 99th percentile of
// the round trip. The console's side, per phase:
//   none       no console client;
//   silent     8 clients (as many as the console serves) connected and saying nothing, each
//              connecting again as soon as it is closed, plus one more connecting over and
//              over and refused as busy;
//   megabyte   one client sending a megabyte without a line end, over and over, as fast as
//              the console closes it;
//   both       the two at once.
// Usage: [BENCH_ROUNDS=N] bench_console_cost [LOBBY-SERVER] (default: 5 rounds, the
// lobby-server built beside bench/). The server runs on core 1 and the clients on core 0 when
// there are two, the players' thread before the console clients (SCHED_FIFO, as root).
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWindow = 16;
constexpr int kPhaseSeconds = 3;
const int kRounds = std::getenv("BENCH_ROUNDS") ? std::atoi(std::getenv("BENCH_ROUNDS")) : 5;
constexpr int kLatencySamples = 2000;
constexpr int kConsoleClients = 8;

std::atomic<bool> g_stop{false};
constexpr timeval kSendTimeout{0, 100000}; // so a phase's end is seen within a tenth of a second

int Connect(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    // Non-blocking, so that a full queue (the console taking no more for now) is waited out a
    // little at a time and a phase's end is seen.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return -1;
    }
    ::fcntl(fd, F_SETFL, 0);
    return fd;
}

// Waits until the console closes fd (or the phase ends), reading whatever it says.
void WaitClosed(int fd)
{
    char buffer[256];
    while (!g_stop) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) > 0 && ::recv(fd, buffer, sizeof buffer, 0) <= 0)
            return;
    }
}

void SilentClient(const std::string& path)
{
    while (!g_stop) {
        const int fd = Connect(path);
        if (fd >= 0) {
            WaitClosed(fd);
            ::close(fd);
        }
    }
}

void MegabyteClient(const std::string& path)
{
    const std::string megabyte(1 << 20, 'x');
    while (!g_stop) {
        const int fd = Connect(path);
        if (fd < 0)
            continue;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kSendTimeout, sizeof kSendTimeout);
        for (std::size_t sent = 0; sent < megabyte.size() && !g_stop;) {
            const ssize_t count = ::send(fd, megabyte.data() + sent, megabyte.size() - sent, MSG_NOSIGNAL);
            if (count <= 0)
                break; // closed by the console: refused as too long
            sent += static_cast<std::size_t>(count);
        }
        ::close(fd);
    }
}

struct Player {
    int fd = -1;
    sockaddr_in server{};
    std::string request = "door|wrong|zzz|";
    void Send() const
    {
        ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
    }
    bool Receive(int timeoutMs) const
    {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) <= 0)
            return false;
        char buffer[2048];
        return ::recv(fd, buffer, sizeof buffer, 0) > 0;
    }
};

double Throughput(const Player& player)
{
    for (int i = 0; i < kWindow; ++i)
        player.Send();
    int answered = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(kPhaseSeconds);
    while (Clock::now() < end) {
        if (!player.Receive(1000)) {
            for (int i = 0; i < kWindow; ++i)
                player.Send(); // a lost datagram: refill the window
            continue;
        }
        ++answered;
        player.Send();
    }
    while (player.Receive(100)) {
    }
    return answered / std::chrono::duration<double>(Clock::now() - start).count();
}

std::pair<double, double> RoundTrips(const Player& player)
{
    std::vector<double> micros;
    for (int i = 0; i < kLatencySamples; ++i) {
        const auto start = Clock::now();
        player.Send();
        if (player.Receive(1000))
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    if (micros.empty())
        return {0, 0};
    return {micros[micros.size() / 2], micros[micros.size() * 99 / 100]};
}

// CPU seconds the process has used so far.
double CpuSeconds(pid_t pid)
{
    FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!stat)
        return 0;
    char text[1024] = {};
    const std::size_t got = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    const char* fields = std::strrchr(text, ')'); // past the program's name, which may hold blanks
    unsigned long user = 0, system = 0;
    if (got == 0 || !fields || std::sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
        return 0;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    const std::string server = argc > 1 ? argv[1] : (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "lobby-server").string();
    char pattern[] = "/tmp/lobby-console-bench.XXXXXX";
    const std::string folder = ::mkdtemp(pattern);
    const std::string socketPath = folder + "/lobby.sock";
    {
        FILE* registry = std::fopen((folder + "/cadastro.txt").c_str(), "w");
        std::fputs(",Nick,Senha,Ip,Pontos,\r\n,door,secret,127.0.0.9,0,-,\r\n", registry);
        std::fclose(registry);
    }

    Player player;
    player.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(player.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    socklen_t size = sizeof local;
    ::getsockname(player.fd, reinterpret_cast<sockaddr*>(&local), &size);
    // A port for the server: taken from the system, then freed.
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in listen{};
    listen.sin_family = AF_INET;
    listen.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<const sockaddr*>(&listen), sizeof listen);
    size = sizeof listen;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&listen), &size);
    ::close(probe);
    player.server = listen;

    const std::string listenPort = std::to_string(ntohs(listen.sin_port));
    const std::string replyPort = std::to_string(ntohs(local.sin_port));
    // The server on a core of its own, the players and the console clients on another, so
    // that what is measured is the server's work, not the clients' taking its core.
    const bool pinned = ::sysconf(_SC_NPROCESSORS_ONLN) >= 2 && std::system("command -v taskset >/dev/null") == 0;
    if (pinned) {
        cpu_set_t cores;
        CPU_ZERO(&cores);
        CPU_SET(0, &cores);
        ::sched_setaffinity(0, sizeof cores, &cores);
    }
    std::vector<std::string> words{server, "m5qt4", "--quiet", "--dir", folder, "--listen-port", listenPort,
                                   "--reply-port", replyPort, "--rate-limit", "0"};
    if (pinned)
        words.insert(words.begin(), {"/usr/bin/env", "taskset", "-c", "1"});
    std::vector<char*> args;
    for (std::string& word : words)
        args.push_back(word.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", server.c_str());
        return 1;
    }
    bool up = false;
    for (int i = 0; i < 200 && !up; ++i) {
        player.Send();
        up = player.Receive(50);
    }
    while (player.Receive(100)) {
    }
    if (!up) {
        std::fprintf(stderr, "the server does not answer\n");
        ::kill(pid, SIGKILL);
        return 1;
    }

    const char* phases[] = {"none", "silent", "megabyte", "both"};
    std::vector<double> rates[4], medians[4], tails[4], cpu[4];
    for (int round = 0; round < kRounds; ++round) {
        for (int phase = 0; phase < 4; ++phase) {
            g_stop = false;
            std::vector<std::thread> clients;
            if (phase == 1 || phase == 3) {
                for (int i = 0; i < kConsoleClients + 1; ++i)
                    clients.emplace_back(SilentClient, socketPath);
            }
            if (phase == 2 || phase == 3)
                clients.emplace_back(MegabyteClient, socketPath);
            std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the clients settle
            // The players' thread before the console clients on their shared core (when the
            // system lets it): what is measured is the server, not the clients' contention.
            sched_param priority{};
            priority.sched_priority = 10;
            const bool realtime = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority) == 0;
            const double cpuBefore = CpuSeconds(pid);
            const auto started = Clock::now();
            rates[phase].push_back(Throughput(player));
            cpu[phase].push_back((CpuSeconds(pid) - cpuBefore) * 1e6 / (rates[phase].back() *
                                 std::chrono::duration<double>(Clock::now() - started).count()));
            const auto [median, tail] = RoundTrips(player);
            medians[phase].push_back(median);
            tails[phase].push_back(tail);
            if (realtime) {
                priority.sched_priority = 0;
                ::pthread_setschedparam(::pthread_self(), SCHED_OTHER, &priority);
            }
            g_stop = true;
            for (std::thread& client : clients)
                client.join();
        }
    }

    // What the console itself counted, from its metrics.
    std::printf("%s; medians of %d rounds of %d s\n", pinned ? "server on core 1, clients on core 0" : "not pinned",
                kRounds, kPhaseSeconds);
    std::printf("console clients   answers/s (window %d)  vs none  server CPU us/answer  round trip median  p99 (us)\n",
                kWindow);
    for (int phase = 0; phase < 4; ++phase)
        std::printf("%-17s %20.0f %7.1f%% %20.2f %18.1f %6.1f\n", phases[phase], Median(rates[phase]),
                    100.0 * Median(rates[phase]) / Median(rates[0]), Median(cpu[phase]), Median(medians[phase]),
                    Median(tails[phase]));
    std::fflush(stdout);
    const std::string ctl = (fs::path(server).parent_path() / "lobbyctl").string();
    const std::string command = ctl + " --socket " + socketPath + " metrics | grep console_connections";
    std::system(command.c_str());

    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    fs::remove_all(folder);
    return 0;
}
