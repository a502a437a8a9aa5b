// Datagrams per second echoed through TUDPEndpoint (readable callback, ReadDatagram into a
// memory stream, SendDatagram back to the sender) on each event loop the program can run on
// (Qt's, and the epoll loop of servers without a window), beside a bare POSIX echo loop (poll,
// recvfrom, sendto) measured in the same run, and each one's ratio to the bare loop. The
// target is a ratio of at least 80%. Beside the rates it prints the echo thread's CPU time per
// datagram: the echo side is the bottleneck, and its CPU cost is the steadier figure when
// other work shares the machine.
//
// A client thread keeps a window of datagrams in flight to the echo side on 127.0.0.1 and
// counts the echoes. Every phase is bounded in count and time: it ends after kDatagrams
// echoes, after kPhaseSeconds, or when an echo is a second late.
#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "app/qt_event_loop.h"
#include "net/udp_endpoint.h"
#include "platform/linux/epoll_event_loop.h"

using namespace lobby;

namespace {

constexpr int kDatagrams = 100000;
constexpr int kWindow = 16;
constexpr int kPayload = 40; // about the size of a lobby request
constexpr int kPhaseSeconds = 5;
constexpr int kRounds = 5;

using Clock = std::chrono::steady_clock;

struct Result {
    int echoed = 0;
    double seconds = 0;
    double serverCpuSeconds = 0; // CPU time of the echoing (loop) thread
    double Rate() const { return seconds > 0 ? echoed / seconds : 0; }
    double CpuMicrosPerDatagram() const { return echoed > 0 ? serverCpuSeconds * 1e6 / echoed : 0; }
};

double ThreadCpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

int LoopbackSocket(sockaddr_in& bound)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bound = {};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound);
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return fd;
}

// Puts the calling thread on one core, so that client and echo side each have their own
// and the figures do not depend on where the scheduler happens to put them.
void PinToCore(int core)
{
    if (static_cast<int>(std::thread::hardware_concurrency()) < 2)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    ::pthread_setaffinity_np(::pthread_self(), sizeof set, &set);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The client: keeps kWindow datagrams in flight to 127.0.0.1:port until kDatagrams have come
// back or a bound is hit.
Result RunClient(std::uint16_t port)
{
    PinToCore(1);
    sockaddr_in self{};
    const int fd = LoopbackSocket(self);
    timeval late{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &late, sizeof late);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char payload[kPayload];
    std::fill(std::begin(payload), std::end(payload), 'p');
    char echo[4096];

    Result result;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(kPhaseSeconds);
    int sent = 0;
    auto sendOne = [&] {
        ::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        ++sent;
    };
    for (int i = 0; i < kWindow; ++i)
        sendOne();
    while (result.echoed < kDatagrams && Clock::now() < deadline) {
        if (::recv(fd, echo, sizeof echo, 0) < 0)
            break; // an echo a second late: lost, stop here
        ++result.echoed;
        if (sent < kDatagrams)
            sendOne();
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    return result;
}

// Bare echo: one poll and one recvfrom per datagram, as the endpoint takes one per callback.
Result RunBare()
{
    sockaddr_in bound{};
    const int fd = LoopbackSocket(bound);
    std::atomic<bool> done{false};
    Result result;
    const double cpuStart = ThreadCpuSeconds();
    std::thread client([&] {
        result = RunClient(ntohs(bound.sin_port));
        done = true;
    });
    char buffer[2048];
    while (!done) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) != 1)
            continue;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
        if (n >= 0)
            ::sendto(fd, buffer, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
    client.join();
    result.serverCpuSeconds = ThreadCpuSeconds() - cpuStart;
    ::close(fd);
    return result;
}

// Runs the loop until the client's quit arrives, or until a guard ends it should that quit be
// lost, so a phase can never hang.
void RunUntilQuit(QtEventLoop&)
{
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start((kPhaseSeconds + 3) * 1000);
    QCoreApplication::exec();
}

void RunUntilQuit(EpollEventLoop& loop)
{
    const auto guard = loop.StartTimer((kPhaseSeconds + 3) * 1000, [&loop] { loop.Quit(); });
    loop.Run();
}

// Endpoint echo: what the lobby does per request, minus its own logic.
template <typename Loop>
Result RunEndpoint(Loop& loop)
{
    TUDPEndpoint endpoint(loop);
    endpoint.SetLocalPort(0);
    TMemoryStream stream;
    endpoint.OnDataReceived = [&stream](TUDPEndpoint& sender, std::int32_t, const std::string& fromIp, std::int32_t port) {
        stream.Clear();
        sender.ReadDatagram(stream);
        sender.SetRemoteHost(fromIp);
        sender.SetRemotePort(port);
        sender.SendDatagram(stream);
    };

    Result result;
    const double cpuStart = ThreadCpuSeconds();
    std::thread client([&, port = endpoint.BoundPort()] {
        result = RunClient(port);
        loop.Post([&loop] { loop.Quit(); });
    });
    RunUntilQuit(loop);
    client.join();
    result.serverCpuSeconds = ThreadCpuSeconds() - cpuStart;
    return result;
}

void Print(const char* name, const Result& r)
{
    std::printf("  %-9s %7d echoes in %.3f s = %9.0f datagrams/s, echo thread CPU %.2f us/datagram%s\n", name,
                r.echoed, r.seconds, r.Rate(), r.CpuMicrosPerDatagram(),
                r.echoed < kDatagrams ? "  (ended early: time bound or lost echo)" : "");
}

// Median figures of one echo side over the rounds.
struct Summary {
    std::vector<double> rates, cpu;
    void Add(const Result& r)
    {
        rates.push_back(r.Rate());
        cpu.push_back(r.CpuMicrosPerDatagram());
    }
    double Rate() const { return Median(rates); }
    double Cpu() const { return Median(cpu); }
};

void PrintRatio(const char* name, const Summary& side, const Summary& bare)
{
    std::printf("  %-15s %9.0f datagrams/s (%.2f us CPU each): %5.1f%% of bare by rate, %5.1f%% by CPU per datagram\n",
                name, side.Rate(), side.Cpu(), bare.Rate() > 0 ? side.Rate() / bare.Rate() * 100 : 0,
                side.Cpu() > 0 ? bare.Cpu() / side.Cpu() * 100 : 0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QtEventLoop qtLoop;
    EpollEventLoop epollLoop;
    PinToCore(0);
    std::printf("UDP echo on 127.0.0.1: %d datagrams of %d bytes, window %d, median of %d rounds\n",
                kDatagrams, kPayload, kWindow, kRounds);
    Summary bare, qt, epoll;
    for (int round = 1; round <= kRounds; ++round) {
        std::printf("round %d\n", round);
        const Result bareRound = RunBare();
        Print("bare", bareRound);
        bare.Add(bareRound);
        const Result qtRound = RunEndpoint(qtLoop);
        Print("qt", qtRound);
        qt.Add(qtRound);
        const Result epollRound = RunEndpoint(epollLoop);
        Print("epoll", epollRound);
        epoll.Add(epollRound);
    }
    std::printf("medians (target: endpoint >= 80%% of bare)\n");
    std::printf("  %-15s %9.0f datagrams/s (%.2f us CPU each)\n", "bare", bare.Rate(), bare.Cpu());
    PrintRatio("endpoint, qt", qt, bare);
    PrintRatio("endpoint, epoll", epoll, bare);
    return 0;
}
