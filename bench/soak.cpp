// The soak: the built server under a long, mixed load from many simulated game clients, to
// show it stays up, keeps its memory flat once warmed up, and answers only well-formed
// messages. Runs in a network namespace of its own (root, or scripts/soak's user namespace),
// clients on their own loopback addresses 127.1.x.y, each listening on port 12000 as a game
// client does; one more address floods the server to keep the flood guard busy. Everything
// is bounded by --duration. Prints its figures; exit status 1 when the server ended, its
// memory grew after warm-up, or a reply was malformed.
//   bench_soak --server PATH [--duration SECONDS] [--clients N] [--rate REQUESTS_A_SECOND]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include "support/socket_address.h"

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

struct Options {
    std::string server;
    int durationSeconds = 600;
    int clients = 1000;
    int rate = 40;
};

[[noreturn]] void Fail(const std::string& why)
{
    std::fprintf(stderr, "soak: %s\n", why.c_str());
    std::exit(2);
}

// A new network namespace with its loopback interface up, for this process and its children.
void EnterPrivateNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0)
        Fail(std::string("cannot make a network namespace (run as root, or through scripts/soak): ") +
             std::strerror(errno));
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (fd < 0 || ::ioctl(fd, SIOCGIFFLAGS, &request) != 0 ||
        (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) != 0))
        Fail(std::string("cannot bring the loopback interface up: ") + std::strerror(errno));
    ::close(fd);
}

int BoundSocket(const std::string& ip, std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_in address = test_support::Ipv4Address(ip, port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        Fail("cannot bind " + ip + ":" + std::to_string(port) + ": " + std::strerror(errno));
    return fd;
}

struct Client {
    std::string ip;
    std::string nick;
    std::string password;
    int fd = -1;
    bool online = false;
};

// Sorts a reply into its kind, or "MALFORMED" when it is none the lobby may send.
std::string KindOf(const std::string& reply)
{
    if (reply.empty() || reply.size() > 2048)
        return "MALFORMED";
    if (reply == "sys|Bem vindo ao nosso servidor!" || reply == "sys|Conectado ao jogo!")
        return "sys";
    if (reply == "Este nick j\xE1 existe!")
        return "nick taken";
    if (reply == "png|")
        return "png";
    if (reply.rfind("okj|", 0) == 0) {
        const std::string score = reply.substr(4);
        const bool number = !score.empty() && score.find_first_not_of("-0123456789") == std::string::npos;
        return number ? "okj" : "MALFORMED";
    }
    if (reply.rfind("lsj|", 0) == 0 || reply.rfind("ttn|", 0) == 0)
        return reply.size() >= 7 && reply.substr(reply.size() - 3) == "..." ? reply.substr(0, 3) : "MALFORMED";
    if (reply.rfind("msg|", 0) == 0)
        return "msg";
    return "MALFORMED";
}

long ResidentKilobytes(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const auto number = [&] {
            if (i + 1 >= argc)
                Fail(word + " needs a value");
            const int value = std::atoi(argv[++i]);
            if (value <= 0)
                Fail(word + " needs a positive number");
            return value;
        };
        if (word == "--server" && i + 1 < argc)
            options.server = argv[++i];
        else if (word == "--duration")
            options.durationSeconds = number();
        else if (word == "--clients")
            options.clients = std::min(number(), 60000);
        else if (word == "--rate")
            options.rate = number();
        else
            Fail("unknown option " + word + "; usage: bench_soak --server PATH [--duration S] [--clients N] [--rate R]");
    }
    if (options.server.empty())
        Fail("--server PATH is needed");
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = ParseOptions(argc, argv);
    EnterPrivateNetwork();
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    std::signal(SIGPIPE, SIG_IGN);

    char pattern[] = "/tmp/lobby_soak.XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        Fail("mkdtemp failed");
    const fs::path folder = pattern;

    const pid_t server = ::fork();
    if (server == 0) {
        const int err = ::open((folder / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(err, STDERR_FILENO);
        const int out = ::open((folder / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO); // the status line a minute
        ::setenv("LC_ALL", "C", 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::unsetenv("QT_QPA_PLATFORM");
        const std::string dir = folder.string();
        ::execl(options.server.c_str(), options.server.c_str(), "m5qt4", "--headless", "--dir", dir.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }

    // Up once its registry file exists (bounded: ten seconds).
    for (int i = 0; i < 1000 && !fs::exists(folder / "cadastro.txt"); ++i)
        ::usleep(10000);
    if (!fs::exists(folder / "cadastro.txt"))
        Fail("the server did not start; see " + (folder / "stderr").string());

    std::vector<Client> clients(static_cast<std::size_t>(options.clients));
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i < options.clients; ++i) {
        Client& client = clients[static_cast<std::size_t>(i)];
        client.ip = "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        client.nick = "soak" + std::to_string(i);
        client.password = "pw" + std::to_string(i);
        client.fd = BoundSocket(client.ip, 12000);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<std::uint32_t>(i);
        ::epoll_ctl(poller, EPOLL_CTL_ADD, client.fd, &event);
    }
    const int flooder = BoundSocket("127.2.0.1", 12000);
    const sockaddr_in serverAddress = test_support::Ipv4Address("127.0.0.1", 12001);
    const auto send = [&](int fd, const std::string& bytes) {
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&serverAddress),
                 sizeof serverAddress);
    };

    std::mt19937 random(20261207);
    std::map<std::string, long> sentByKind;
    std::map<std::string, long> repliesByKind;
    std::vector<std::pair<int, long>> memory; // seconds, kB
    long malformedShown = 0;
    const auto start = SteadyClock::now();
    const auto end = start + std::chrono::seconds(options.durationSeconds);
    auto nextSample = start;
    double owed = 0;
    double flooderOwed = 0;
    std::vector<Client*> online; // as the clients see it: joined and not left
    auto last = start;
    bool serverEnded = false;
    char buffer[65536];

    while (SteadyClock::now() < end) {
        const auto now = SteadyClock::now();
        owed += std::chrono::duration<double>(now - last).count() * options.rate;
        flooderOwed += std::chrono::duration<double>(now - last).count() * 500;
        last = now;
        for (; owed >= 1; owed -= 1) {
            // About one client in twenty plays at a time (each joins and leaves over and over):
            // a full lobby of 1000 would turn each request into 1000 broadcasts and the soak into
            // a disk filler.
            const std::size_t target = std::max<std::size_t>(1, clients.size() / 20);
            const int dice = static_cast<int>(random() % 100);
            std::string kind;
            std::string bytes;
            if (dice < 30) {
                // Junk from anybody: none of it logs a player in.
                Client& client = clients[random() % clients.size()];
                const int junk = static_cast<int>(random() % 6);
                if (junk == 0) { kind = "wrong password"; bytes = client.nick + "|nope|slc|"; }
                else if (junk == 1) { kind = "unstorable nick"; bytes = "a,b" + std::to_string(dice) + "|pw|slc|"; }
                else if (junk == 2) { kind = "fewer than two |"; bytes = dice % 2 ? std::string("no bars at all") : client.nick + "|only one"; }
                else if (junk == 3) { kind = "NUL and control bytes"; bytes = std::string("\0\r\n\x1a\xff", 5) + client.nick; }
                else if (junk == 4) { kind = "over 2048 bytes"; bytes = client.nick + "|" + client.password + "|msg|" + std::string(3000, 'y'); }
                else {
                    kind = "random bytes";
                    bytes.resize(random() % 300);
                    for (char& c : bytes) {
                        c = static_cast<char>(random() % 256);
                        if (c == '|')
                            c = 'x'; // two bars would register a new nick each time, growing the registry
                    }
                }
                ++sentByKind[kind];
                send(client.fd, bytes);
                continue;
            }
            if (online.size() < target) {
                // Somebody offline joins.
                Client& client = clients[random() % clients.size()];
                if (!client.online) {
                    client.online = true;
                    online.push_back(&client);
                }
                ++sentByKind["slc"];
                send(client.fd, client.nick + "|" + client.password + "|slc|");
                continue;
            }
            const std::size_t at = random() % online.size();
            Client& client = *online[at];
            const std::string who = client.nick + "|" + client.password + "|";
            const int what = static_cast<int>(random() % 100);
            if (what < 12) { kind = "msg"; bytes = who + "msg|ol\xE1 " + std::to_string(random() % 1000); }
            else if (what < 32) { kind = "pvt"; bytes = who + "pvt|" + online[random() % online.size()]->nick + "|psiu"; }
            else if (what < 40) { kind = "fc+/fc-"; bytes = who + (what % 2 ? "fc+|" : "fc-|"); }
            else if (what < 50) { kind = "scj"; bytes = who + "scj|" + std::to_string(static_cast<int>(random() % 200) - 100); }
            else if (what < 60) {
                kind = "off";
                bytes = who + "off|";
                client.online = false;
                online[at] = online.back();
                online.pop_back();
            }
            else if (what < 72) { kind = "unknown command"; bytes = who + "xyz|"; }
            else if (what < 78) { kind = "bad score"; bytes = who + "scj|12abc"; }
            else if (what < 79) { kind = "chat 2000 bytes"; bytes = who + "msg|" + std::string(2000, 'z'); }
            else if (what < 90) { kind = "slc again"; bytes = who + "slc|"; }
            else { kind = "empty argument"; bytes = who + "scj"; }
            ++sentByKind[kind];
            send(client.fd, bytes);
        }
        // The flooder: ten times its limit, all the time.
        for (; flooderOwed >= 1; flooderOwed -= 1) {
            send(flooder, "flood|pw|xyz|"); // logged when admitted, answered never
            ++sentByKind["flooder, 500 a second"];
        }

        epoll_event events[256];
        const int ready = ::epoll_wait(poller, events, 256, 2);
        for (int e = 0; e < ready; ++e) {
            Client& client = clients[events[e].data.u32];
            for (int n = 0; n < 64; ++n) {
                const ssize_t size = ::recv(client.fd, buffer, sizeof buffer, 0);
                if (size < 0)
                    break;
                const std::string reply(buffer, static_cast<std::size_t>(size));
                const std::string kind = KindOf(reply);
                ++repliesByKind[kind];
                if (kind == "MALFORMED" && malformedShown++ < 5)
                    std::fprintf(stderr, "malformed reply to %s: %.80s\n", client.ip.c_str(), reply.c_str());
                if (kind == "png") // a game client answers the ping with any request
                    send(client.fd, client.nick + "|" + client.password + "|png|");
            }
        }
        while (::recv(flooder, buffer, sizeof buffer, 0) > 0) {
        }

        if (SteadyClock::now() >= nextSample) {
            const int seconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - start).count());
            memory.emplace_back(seconds, ResidentKilobytes(server));
            nextSample += std::chrono::seconds(5);
            int status = 0;
            if (::waitpid(server, &status, WNOHANG) == server) {
                serverEnded = true;
                break;
            }
        }
    }

    // Shutdown as an operator would: SIGTERM, then the registry must read whole.
    int exitStatus = -1;
    if (!serverEnded) {
        ::kill(server, SIGTERM);
        for (int i = 0; i < 1000; ++i) {
            int status = 0;
            if (::waitpid(server, &status, WNOHANG) == server) {
                exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            ::usleep(10000);
        }
        if (exitStatus < 0) {
            ::kill(server, SIGKILL);
            ::waitpid(server, nullptr, 0);
        }
    }
    std::ifstream registryFile(folder / "cadastro.txt", std::ios::binary);
    const std::string registry{std::istreambuf_iterator<char>(registryFile), std::istreambuf_iterator<char>()};
    long players = -1;
    bool registryWhole = registry.size() >= 2 && registry.substr(registry.size() - 2) == "\r\n";
    for (std::size_t pos = 0; pos < registry.size();) {
        const std::size_t lineEnd = registry.find("\r\n", pos);
        if (lineEnd == std::string::npos)
            break;
        const std::string line = registry.substr(pos, lineEnd - pos);
        registryWhole = registryWhole && (players < 0 || std::count(line.begin(), line.end(), ',') == 6);
        ++players;
        pos = lineEnd + 2;
    }
    std::ifstream errors(folder / "stderr");
    long floodSummaries = 0;
    long otherOperatorLines = 0;
    std::map<std::string, long> operatorTexts;
    for (std::string line; std::getline(errors, line);) {
        if (line.find("Flood guard:") != std::string::npos)
            ++floodSummaries;
        else {
            ++otherOperatorLines;
            ++operatorTexts[line.substr(0, 70)];
        }
    }
    std::uintmax_t logBytes = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".txt" && entry.path().filename() != "cadastro.txt")
            logBytes += entry.file_size();
    }

    long sent = 0;
    std::printf("soak: %d s, %d clients (about one in twenty playing at a time), %d requests a second, plus a flooder\n",
                options.durationSeconds, options.clients, options.rate);
    std::printf("\nrequests sent\n");
    for (const auto& [kind, count] : sentByKind) {
        std::printf("  %-26s %10ld\n", kind.c_str(), count);
        sent += count;
    }
    long received = 0;
    std::printf("  %-26s %10ld\nreplies received\n", "in all", sent);
    for (const auto& [kind, count] : repliesByKind) {
        std::printf("  %-26s %10ld\n", kind.c_str(), count);
        received += count;
    }
    std::printf("  %-26s %10ld\n", "in all", received);
    std::printf("\nserver memory (resident, kB) every 5 s:");
    for (std::size_t i = 0; i < memory.size(); ++i)
        std::printf("%s%ld", i % 12 == 0 ? "\n  " : " ", memory[i].second);
    // Warm-up: the first fifth of the run (at least 10 s), while every client registers.
    const int warmUp = std::max(10, options.durationSeconds / 5);
    long atWarmUp = -1;
    long highest = -1;
    for (const auto& [seconds, kilobytes] : memory) {
        if (seconds <= warmUp)
            atWarmUp = kilobytes;
        else
            highest = std::max(highest, kilobytes);
    }
    // Flat: within a tenth of the warmed-up size, and 4 MB for the allocator's slack.
    const bool flat = atWarmUp > 0 && highest > 0 && highest <= atWarmUp + atWarmUp / 10 + 4096;
    std::printf("\n  after warm-up (%d s): %ld kB, highest after: %ld kB -> %s\n", warmUp, atWarmUp, highest,
                flat ? "flat" : "GREW");
    std::printf("\nflood summaries on standard error: %ld; other operator lines: %ld\n", floodSummaries,
                otherOperatorLines);
    for (const auto& [text, count] : operatorTexts)
        std::printf("  %6ld x %s\n", count, text.c_str());
    std::printf("traffic log: %.1f MB; registry: %ld players, %s\n", static_cast<double>(logBytes) / 1e6, players,
                registryWhole ? "every line whole" : "A LINE IS NOT WHOLE");
    std::printf("server: %s\n", serverEnded ? "ENDED DURING THE SOAK"
                                : exitStatus == 0 ? "ran throughout, ended with status 0 on SIGTERM"
                                                  : ("ended with status " + std::to_string(exitStatus) + " on SIGTERM").c_str());
    const bool good = !serverEnded && exitStatus == 0 && flat && repliesByKind["MALFORMED"] == 0 && registryWhole;
    std::printf("soak: %s\n", good ? "passed" : "FAILED");
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return good ? 0 : 1;
}
