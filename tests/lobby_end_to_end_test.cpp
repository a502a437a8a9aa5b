// The built server, copied into a folder of its own, serving game clients over real UDP.
// Each test runs in a network namespace of its own, so port 12001 is always free and every
// simulated client can have its own loopback address 127.0.0.N, listening on port 12000
// there as a game client does. Every wait is bounded.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/traffic_log/traffic_log.h"
#include "support/client_texts.h"
#include "support/private_network.h"
#include "support/server_program.h"
#include "support/socket_address.h"
#include "support/temp_folder.h"

using namespace test_support;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kServerPort = 12001;
constexpr std::uint16_t kClientPort = 12000;
constexpr auto kReplyTimeout = 2s;

int MillisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

bool IsTime(const std::string& text)
{
    const auto digit = [&](std::size_t i) { return text[i] >= '0' && text[i] <= '9'; };
    return text.size() == 8 && digit(0) && digit(1) && text[2] == ':' && digit(3) && digit(4) && text[5] == ':' &&
           digit(6) && digit(7);
}

// A UDP socket bound to ip:port that talks to the server at 127.0.0.1:12001.
class UdpSocket {
public:
    UdpSocket(const std::string& ip, std::uint16_t port) : ip_(ip)
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = Ipv4Address(ip, port);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            ADD_FAILURE() << "cannot bind " << ip << ":" << port << ": " << std::strerror(errno);
    }
    ~UdpSocket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    const std::string& Ip() const { return ip_; }

    void Send(const std::string& bytes) const
    {
        const sockaddr_in server = Ipv4Address("127.0.0.1", kServerPort);
        const ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&server),
                                      sizeof server);
        EXPECT_EQ(sent, static_cast<ssize_t>(bytes.size())) << "send from " << ip_ << ": " << std::strerror(errno);
    }

    // The next datagram, waiting at most timeout; nothing when none came. Unless told
    // otherwise, datagrams must come from the server's port.
    std::optional<std::string> Receive(std::chrono::milliseconds timeout = kReplyTimeout, bool fromServer = true) const
    {
        const auto deadline = Clock::now() + timeout;
        pollfd watched{fd_, POLLIN, 0};
        int ready = 0;
        do {
            ready = ::poll(&watched, 1, MillisecondsLeft(deadline));
        } while (ready < 0 && errno == EINTR && Clock::now() < deadline);
        if (ready <= 0)
            return std::nullopt;
        std::string bytes(65536, '\0');
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size =
            ::recvfrom(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (size < 0)
            return std::nullopt;
        if (fromServer) {
            EXPECT_EQ(ntohs(from.sin_port), kServerPort) << "a reply to " << ip_ << " came from another port";
        }
        bytes.resize(static_cast<std::size_t>(size));
        return bytes;
    }

private:
    std::string ip_;
    int fd_ = -1;
};

// One game client: listens on 127.0.0.N:12000 and, unless told otherwise, sends from there.
struct GameClient {
    GameClient(const std::string& ip, std::uint16_t sendPort = kClientPort)
        : listening(ip, kClientPort)
    {
        if (sendPort != kClientPort)
            sending.emplace(ip, sendPort);
    }
    const UdpSocket& Sender() const { return sending ? *sending : listening; }
    const std::string& Ip() const { return listening.Ip(); }

    UdpSocket listening;
    std::optional<UdpSocket> sending;
};

struct Reply {
    const GameClient* to;
    std::string bytes;
};

class LobbyEndToEnd : public testing::Test {
protected:
    void SetUp() override
    {
        if (!network.Failure().empty())
            GTEST_SKIP() << "needs a private network namespace: " << network.Failure();
        program = folder / "lobby-server";
        fs::copy_file(ServerProgramPath(), program);
    }

    // Starts the copy in its folder (so it keeps its files there), with bindMounts in a mount
    // namespace of its own, and waits until it has read or created its registry, by which
    // time it listens on port 12001.
    void StartServer(const std::vector<BindMount>& bindMounts = {})
    {
        const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, folder.Path().c_str(), IN_OPEN | IN_MOVED_TO | IN_CLOSE), 0);
        ChildSetup setup = HeadlessServerSetup("/", (folder / "stderr").string());
        setup.bindMounts = bindMounts;
        server.emplace(std::vector<std::string>{program.string(), "m5qt4", "--headless"}, setup);
        const auto deadline = Clock::now() + 10s;
        bool ready = false;
        for (int events = 0; !ready && events < 1000 && Clock::now() < deadline; ++events) {
            pollfd watched{watch, POLLIN, 0};
            if (::poll(&watched, 1, MillisecondsLeft(deadline)) <= 0)
                break;
            alignas(inotify_event) char buffer[4096];
            const ssize_t size = ::read(watch, buffer, sizeof buffer);
            for (ssize_t at = 0; at < size;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0 && std::string(event->name) == "cadastro.txt")
                    ready = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        ::close(watch);
        ASSERT_TRUE(ready) << "the server did not load its registry: " << ReadBytes(folder / "stderr");
        ASSERT_FALSE(server->WaitForExit(0ms)) << "the server ended: " << ReadBytes(folder / "stderr");
    }

    void StopServer()
    {
        server->Signal(SIGTERM);
        const auto status = server->WaitForExit(10s);
        ASSERT_TRUE(status) << "the server did not end on SIGTERM";
        EXPECT_EQ(*status, 0) << ReadBytes(folder / "stderr");
        server.reset();
    }

    // Sends request from client and checks that exactly these replies arrive, in this order
    // for each recipient. Remembers the log lines they must have left.
    void Exchange(const GameClient& from, const std::string& request, const std::vector<Reply>& replies)
    {
        SCOPED_TRACE("request " + testing::PrintToString(request.substr(0, 60)) + " from " + from.Ip());
        from.Sender().Send(request);
        expectedLog.push_back(from.Ip() + ": " + lobby::EscapeForLog(request)); // one line, whatever it holds
        for (const Reply& reply : replies) {
            expectedLog.push_back("> para: " + reply.to->Ip() + " " + reply.bytes);
            const auto received = reply.to->listening.Receive();
            ASSERT_TRUE(received) << "no reply for " << reply.to->Ip() << "; expected "
                                  << testing::PrintToString(reply.bytes);
            EXPECT_EQ(*received, reply.bytes) << "at " << reply.to->Ip();
        }
    }

    // Shows that nothing else is waiting for these clients: each asks as a known nick with a
    // wrong password, and the refusal must be the very next thing it receives.
    void ExpectNothingMoreFor(const std::vector<const GameClient*>& clients, const std::string& knownNick)
    {
        for (const GameClient* client : clients)
            Exchange(*client, knownNick + "|not-the-password|slc|", {{client, kNickTaken}});
    }

    // Checks the logs the server wrote (every file, in date order) against the lines
    // expected so far. A logged request may itself hold CR LF, so the text is not split into
    // lines: each expected line is matched where it must start, taking the time there when
    // it reads hh:mm:ss.
    void ExpectLogged()
    {
        std::vector<fs::path> logs;
        for (const auto& entry : fs::directory_iterator(folder.Path())) {
            if (entry.path().extension() == ".txt" && entry.path().filename() != "cadastro.txt")
                logs.push_back(entry.path());
        }
        std::sort(logs.begin(), logs.end());
        std::string actual;
        for (const fs::path& log : logs)
            actual += ReadBytes(log);

        std::string expected;
        for (const std::string& line : expectedLog) {
            const std::size_t at = line.starts_with("> ") ? 2 : line.find(": ") + 2;
            const std::string time = actual.substr(std::min(actual.size(), expected.size() + at), 8);
            expected += line.substr(0, at) + (IsTime(time) ? time : "hh:mm:ss") + " " + line.substr(at) + "\r\n";
        }
        EXPECT_EQ(actual, expected);
    }

    PrivateNetwork network;
    TempFolder folder;
    fs::path program;
    std::optional<ChildProgram> server; // killed, if still running, before the namespace goes
    std::vector<std::string> expectedLog;
};

TEST_F(LobbyEndToEnd, PlayersJoinChatWhisperScoreAndLeave)
{
    ASSERT_NO_FATAL_FAILURE(StartServer());
    GameClient ana("127.0.0.2");
    GameClient bob("127.0.0.3");
    GameClient cy("127.0.0.4", 40000); // sends from another port; answers still go to 12000

    Exchange(ana, "ana|pw|slc|", {{&ana, kWelcome}, {&ana, OwnScore("0")}, {&ana, PlayerList({"+ana"})},
                                  {&ana, Ranking({"ana - 0"})}, {&ana, kConnected}});
    const std::string twoPlayers = PlayerList({"+ana", "+Bob"});
    const std::string twoRanked = Ranking({"ana - 0", "Bob - 0"});
    Exchange(bob, "Bob|Pw|slc|", {{&bob, kWelcome}, {&bob, OwnScore("0")}, {&ana, twoPlayers}, {&bob, twoPlayers},
                                  {&ana, twoRanked}, {&bob, twoRanked}, {&bob, kConnected}});

    const std::string chat = Chat("ANA", "oi|gente, tudo bem? \xE9 n\xF3s");
    Exchange(ana, "ANA|PW|msg|oi|gente, tudo bem? \xE9 n\xF3s", {{&ana, chat}, {&bob, chat}});
    Exchange(bob, "bob|pw|pvt|ana|segredo|sim", {{&ana, Private("bob", "segredo|sim")}});
    Exchange(bob, "bob|pw|pvt|ANA|nada", {});

    const std::string scored = Ranking({"Bob - 16", "ana - 0"});
    Exchange(bob, "bob|pw|scj|$10", {{&bob, scored}, {&ana, scored}});
    // While the server runs, a score report has saved the registry already.
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), ",Nick,Senha,Ip,Pontos,,\r\n"
                                                  ",Bob,Pw,127.0.0.3,16,+,\r\n"
                                                  ",ana,pw,127.0.0.2,0,+,\r\n");

    // The largest datagram a client may send; the chat line it makes is cut to 2048 bytes.
    const std::string text(2037, 'x');
    const std::string cut = Chat("bob", text).substr(0, 2048);
    Exchange(bob, "bob|pw|msg|" + text, {{&bob, cut}, {&ana, cut}});

    const std::string threePlayers = PlayerList({"+Bob", "+ana", "+cy"});
    Exchange(cy, "cy|x|fc+|", {{&cy, kWelcome}, {&bob, threePlayers}, {&ana, threePlayers}, {&cy, threePlayers}});

    const std::string afterLeave = PlayerList({"+Bob", "+cy"});
    Exchange(ana, "ana|pw|off|", {{&bob, LeaveNotice("ana")}, {&cy, LeaveNotice("ana")}, {&bob, afterLeave},
                                  {&cy, afterLeave}});
    ExpectNothingMoreFor({&ana, &bob, &cy}, "ana");

    // Not a request: logged, nothing else. Longer than a datagram: not even logged.
    Exchange(bob, "no bars here", {});
    bob.Sender().Send(std::string(3000, 'z'));
    ExpectNothingMoreFor({&ana, &bob, &cy}, "bob");

    ASSERT_NO_FATAL_FAILURE(StopServer());
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), ",Nick,Senha,Ip,Pontos,,\r\n"
                                                  ",Bob,Pw,127.0.0.3,16,+,\r\n"
                                                  ",ana,pw,127.0.0.2,0,+,\r\n"
                                                  ",cy,x,127.0.0.4,0,+,\r\n");
    ExpectLogged();
}

TEST_F(LobbyEndToEnd, RegisteredPlayersAreKeptAcrossRestarts)
{
    WriteBytes(folder / "cadastro.txt", ",Nick,Senha,Ip,Pontos,\r\n,Ana,Segredo,127.0.0.2,120,-,\r\n,Zed,zz,127.0.0.9,7,+,\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer());
    GameClient ana("127.0.0.2");
    GameClient other("127.0.0.3");
    GameClient zedHome("127.0.0.9"); // where Zed registered from

    Exchange(ana, "ana|SEGREDO|slc|", {{&ana, OwnScore("120")}, {&ana, PlayerList({"+Ana"})},
                                       {&ana, Ranking({"Ana - 120", "Zed - 7"})}, {&ana, kConnected}});
    Exchange(other, "zed|ZZ!|slc|", {{&other, kNickTaken}});
    Exchange(other, "new,nick|pw|slc|", {{&other, kNickTaken}});
    Exchange(other, "newnick|p\r\nw|slc|", {{&other, kNickTaken}});
    Exchange(ana, "ana|segredo|scj|-200", {{&ana, Ranking({"Zed - 7", "Ana - -80"})}});
    ExpectNothingMoreFor({&ana, &other}, "zed");
    ASSERT_NO_FATAL_FAILURE(StopServer());
    const std::string saved = ",Nick,Senha,Ip,Pontos,,\r\n,Zed,zz,127.0.0.9,7,+,\r\n,Ana,Segredo,127.0.0.2,-80,+,\r\n";
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), saved);

    // The next run starts from the saved registry, everybody offline, and adds to the log.
    ASSERT_NO_FATAL_FAILURE(StartServer());
    // Zed logs in from elsewhere: the lists go to the address Zed registered from.
    Exchange(other, "Zed|zz|slc|", {{&other, OwnScore("7")}, {&zedHome, PlayerList({"+Zed"})},
                                    {&zedHome, Ranking({"Zed - 7", "Ana - -80"})}, {&other, kConnected}});
    ExpectNothingMoreFor({&ana, &other, &zedHome}, "ana");
    ASSERT_NO_FATAL_FAILURE(StopServer());
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), saved);
    ExpectLogged();
}

TEST_F(LobbyEndToEnd, PlayersAreServedWhileASendWaitsForAHostNameLookup)
{
    // Bob, online, is stored under a host name, and the server's name server (in a mount
    // namespace of its own, its resolv.conf names a socket on port 53 that never replies)
    // keeps the lookup waiting for seconds. Ana's chat line starts it; a newcomer must be
    // answered meanwhile, not after it.
    WriteBytes(folder / "cadastro.txt", ",Nick,Senha,Ip,Pontos,\r\nX,bob,pw,lobby.invalid,0,-,\r\n");
    WriteBytes(folder / "resolv.conf", "nameserver 127.0.0.1\n");
    const UdpSocket silentNameServer("127.0.0.1", 53);
    ASSERT_NO_FATAL_FAILURE(StartServer({{(folder / "resolv.conf").string(), "/etc/resolv.conf"}}));
    GameClient ana("127.0.0.2");
    GameClient carl("127.0.0.3");

    ana.Sender().Send("ana|pw|msg|oi");
    ASSERT_EQ(ana.listening.Receive(), kWelcome); // the same request goes on to Bob's address
    carl.Sender().Send("carl|pw|zzz|");
    EXPECT_EQ(carl.listening.Receive(1s), kWelcome) << "the lobby was deaf during the lookup";
    EXPECT_TRUE(silentNameServer.Receive(kReplyTimeout, false)) << "no lookup was made, so this showed nothing";
}

} // namespace
