// TUDPEndpoint on real loopback sockets: every endpoint binds port 0 and talks only to peers
// on 127.0.0.0/8; every wait is bounded. Name lookups resolve only "localhost" and names
// under the reserved ".invalid" domain, or go to a stand-in resolver. What goes through the
// loop (receiving, moving to another port, the dispatch while a send waits for a lookup) is
// checked on each loop the program runs on: the window's and the headless one. The rest
// (sending to addresses, binding errors, error numbers) never asks the loop for anything, so
// it runs once, on the window's.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "app/qt_event_loop.h"
#include "net/udp_endpoint.h"
#include "net/udp_sock_error.h"
#include "platform/linux/epoll_event_loop.h"
#include "support/loopback.h"

using namespace lobby;

namespace {

using test_support::LoopbackPeer;
using test_support::PumpFor;
using test_support::PumpUntil;

struct ReceivedEvent {
    std::int32_t numberBytes;
    std::string fromIp;
    std::int32_t port;
    std::string bytes; // what ReadDatagram gave inside the handler
};

// A stand-in name server; thread-safe, since lookups run on worker threads. It records the
// names asked, answers with a fixed address or (by default) the system's resolver, and when
// gated holds its answer until released (at most 5 s). onCall runs on the worker first.
class TestResolver {
private:
    struct State {
        std::mutex mutex;
        std::condition_variable released;
        std::vector<std::string> names;
        std::optional<std::uint32_t> answer;
        std::function<void()> onCall;
        bool gated = false;
        int finished = 0;
    };
    template <typename F>
    auto Locked(F fn) const
    {
        std::lock_guard lock(state_->mutex);
        return fn(*state_);
    }
    std::shared_ptr<State> state_ = std::make_shared<State>();

public:
    HostResolver Resolver() const
    {
        return [s = state_](const std::string& name) -> std::optional<std::uint32_t> {
            std::function<void()> onCall;
            {
                std::lock_guard lock(s->mutex);
                s->names.push_back(name);
                onCall = s->onCall;
            }
            if (onCall)
                onCall();
            std::unique_lock lock(s->mutex);
            s->released.wait_for(lock, std::chrono::seconds(5), [&] { return !s->gated; });
            ++s->finished;
            if (s->answer)
                return s->answer;
            lock.unlock();
            return ResolveHostName(name);
        };
    }
    std::vector<std::string> Names() const { return Locked([](State& s) { return s.names; }); }
    int Finished() const { return Locked([](State& s) { return s.finished; }); }
    void AnswerWith(const char* dotted) { Locked([&](State& s) { s.answer = ::inet_addr(dotted); return 0; }); }
    void OnCall(std::function<void()> fn) { Locked([&](State& s) { s.onCall = std::move(fn); return 0; }); }
    void Gate() { Locked([](State& s) { return s.gated = true; }); }
    void Release()
    {
        Locked([](State& s) { return s.gated = false; });
        state_->released.notify_all();
    }
};

// A loop of either kind, reporting to onError.
using LoopMaker = std::unique_ptr<EventLoop> (*)(LoopErrorHandler onError);

template <typename Loop>
std::unique_ptr<EventLoop> MakeLoop(LoopErrorHandler onError)
{
    return std::make_unique<Loop>(std::move(onError));
}

// An endpoint on a port of its own, on the loop makeLoop gives, with a stand-in resolver and
// a peer on 127.0.0.1.
class EndpointOnALoop : public ::testing::Test {
protected:
    explicit EndpointOnALoop(LoopMaker makeLoop)
        : ownedLoop(makeLoop([this](const std::exception& error) { onLoopError(error); }))
    {
    }

    void SetUp() override
    {
        endpoint = std::make_unique<TUDPEndpoint>(loop);
        endpoint->SetLocalPort(0);
        ASSERT_NE(endpoint->BoundPort(), 0);
        endpoint->SetHostResolver(resolver.Resolver());
    }

    // Records every datagram as the lobby's handler sees it.
    void RecordReceives()
    {
        endpoint->OnDataReceived = [this](TUDPEndpoint& sender, std::int32_t n, const std::string& ip, std::int32_t port) {
            EXPECT_EQ(&sender, endpoint.get());
            ReceivedEvent event{n, ip, port, {}};
            if (n >= 0) {
                TMemoryStream stream;
                sender.ReadDatagram(stream);
                EXPECT_EQ(stream.Position(), 0);
                event.bytes = std::string(stream.Bytes());
            }
            received.push_back(event);
        };
    }

    // Records receives, then runs afterEach; the lookup answers 127.0.0.1 but holds its
    // answer (resolver.Release lets it go) after sender has sent bytes to the endpoint, which
    // only a wait that dispatches events can take in.
    void RecordReceivesDuringAHeldLookup(LoopbackPeer& sender, const char* bytes, std::function<void()> afterEach)
    {
        RecordReceives();
        resolver.AnswerWith("127.0.0.1");
        resolver.Gate();
        resolver.OnCall([&sender, bytes, port = endpoint->BoundPort()] { sender.SendTo(port, bytes); });
        auto record = endpoint->OnDataReceived;
        endpoint->OnDataReceived = [record, afterEach](TUDPEndpoint& ep, std::int32_t n, const std::string& ip,
                                                       std::int32_t port) {
            record(ep, n, ip, port);
            afterEach();
        };
    }

    bool WaitForReceives(std::size_t count)
    {
        return PumpUntil(loop, [&] { return received.size() >= count; });
    }

    void SendTo(const std::string& host, std::int32_t port, std::string_view bytes)
    {
        endpoint->SetRemoteHost(host);
        endpoint->SetRemotePort(port);
        TMemoryStream stream;
        stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        endpoint->SendDatagram(stream);
    }

    // The message of the UDPSockError that fn raises, or "(no error)".
    static std::string SockErrorOf(const std::function<void()>& fn)
    {
        try {
            fn();
        } catch (const UDPSockError& error) {
            return error.Message();
        }
        return "(no error)";
    }

    std::vector<std::string> loopErrors;
    // Where errors escaping the loop's callbacks go; a test may put its own in.
    std::function<void(const std::exception&)> onLoopError = [this](const std::exception& error) {
        loopErrors.push_back(error.what());
    };
    std::unique_ptr<EventLoop> ownedLoop;
    EventLoop& loop = *ownedLoop;
    TestResolver resolver;
    std::unique_ptr<TUDPEndpoint> endpoint;
    std::vector<ReceivedEvent> received;
    LoopbackPeer peer;

    // The bytes of the next datagram to reach the peer; "(nothing)" when none comes in time.
    std::string NextAtPeer() const
    {
        const auto got = peer.Receive();
        return got ? got->bytes : "(nothing)";
    }
};

// Sending to addresses, binding errors, error numbers: the loop is only where the endpoint
// lives, so the one kind does.
class UdpEndpointTest : public EndpointOnALoop {
protected:
    UdpEndpointTest() : EndpointOnALoop(&MakeLoop<QtEventLoop>) {}
};

// Receiving, moving to another port, waiting for a lookup: on each loop.
struct LoopKind {
    const char* name;
    LoopMaker make;
};
// The loop's name, where a test run names its parameter.
void PrintTo(const LoopKind& kind, std::ostream* out) { *out << kind.name; }

class UdpEndpointOnEachLoop : public EndpointOnALoop, public ::testing::WithParamInterface<LoopKind> {
protected:
    UdpEndpointOnEachLoop() : EndpointOnALoop(GetParam().make) {}
};

INSTANTIATE_TEST_SUITE_P(Loops, UdpEndpointOnEachLoop,
                         ::testing::Values(LoopKind{"Qt", &MakeLoop<QtEventLoop>},
                                           LoopKind{"Epoll", &MakeLoop<EpollEventLoop>}),
                         [](const ::testing::TestParamInfo<LoopKind>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- receiving

TEST_P(UdpEndpointOnEachLoop, EachDatagramIsOneEventWithCountSenderPortAndBytes)
{
    RecordReceives();
    LoopbackPeer other("127.100.20.3"); // three, two and one digits: no leading zeros
    std::string largest(2048, '\0');
    for (std::size_t i = 0; i < largest.size(); ++i)
        largest[i] = static_cast<char>(i * 7);
    other.SendTo(endpoint->BoundPort(), "hello");
    other.SendTo(endpoint->BoundPort(), "");
    other.SendTo(endpoint->BoundPort(), largest);
    ASSERT_TRUE(WaitForReceives(3));
    PumpFor(loop, 50);

    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].numberBytes, 5);
    EXPECT_EQ(received[0].fromIp, "127.100.20.3");
    EXPECT_EQ(received[0].port, other.Port());
    EXPECT_EQ(received[0].bytes, "hello");
    EXPECT_EQ(received[1].numberBytes, 0);
    EXPECT_EQ(received[1].bytes, "");
    EXPECT_EQ(received[2].numberBytes, 2048);
    EXPECT_EQ(received[2].bytes, largest);
}

TEST_P(UdpEndpointOnEachLoop, LongerDatagramIsAFailedReceiveFromItsRealSenderAndTheRestIsDiscarded)
{
    RecordReceives();
    peer.SendTo(endpoint->BoundPort(), std::string(2048, 'x') + "TAIL");
    ASSERT_TRUE(WaitForReceives(1));
    EXPECT_EQ(received[0].numberBytes, -1);
    EXPECT_EQ(received[0].fromIp, "127.0.0.1");
    EXPECT_EQ(received[0].port, peer.Port());

    TMemoryStream stream;
    try {
        endpoint->ReadDatagram(stream);
        FAIL() << "a count of -1 must not be written";
    } catch (const EStreamError& error) {
        EXPECT_EQ(error.Message(), "Stream write error");
    }

    peer.SendTo(endpoint->BoundPort(), "next");
    ASSERT_TRUE(WaitForReceives(2));
    EXPECT_EQ(received[1].numberBytes, 4);
    EXPECT_EQ(received[1].bytes, "next") << "the tail of the long datagram must not leak";
}

TEST_P(UdpEndpointOnEachLoop, DatagramsQueuedTogetherAreAllAnnouncedInOrderInBoundedBatches)
{
    // A readable callback takes a bounded batch, handed to OnReceiveBatch: the rest must come
    // with the next ones, in order.
    std::vector<std::size_t> batches;
    endpoint->OnReceiveBatch = [&](TUDPEndpoint& sender, ReceivedBatch& batch) {
        EXPECT_EQ(&sender, endpoint.get());
        const std::size_t before = received.size();
        ReceivedDatagram datagram;
        while (batch.Next(datagram))
            received.push_back({datagram.NumberBytes, datagram.FromIP, datagram.Port, std::string(datagram.Bytes)});
        batches.push_back(received.size() - before);
    };
    const int count = 150;
    for (int i = 0; i < count; ++i)
        peer.SendTo(endpoint->BoundPort(), "d" + std::to_string(i));
    ASSERT_TRUE(WaitForReceives(static_cast<std::size_t>(count)));
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(received[static_cast<std::size_t>(i)].bytes, "d" + std::to_string(i));
    EXPECT_EQ(*std::max_element(batches.begin(), batches.end()), TUDPEndpoint::kReceiveBatch);
}

// A lookup in the first request of a batch lets the rest of that batch in before anything
// that arrived later: requests are handled in arrival order.
TEST_P(UdpEndpointOnEachLoop, ARunNestedInALookupAnnouncesTheRestOfTheBatchFirst)
{
    LoopbackPeer late;
    RecordReceivesDuringAHeldLookup(late, "late", [&] {
        if (received.size() == 1)
            SendTo("some.name.invalid", peer.Port(), "after lookup");
        if (received.back().bytes == "late")
            resolver.Release();
    });
    for (const char* bytes : {"a", "b", "c"})
        peer.SendTo(endpoint->BoundPort(), bytes);
    ASSERT_TRUE(WaitForReceives(4));
    std::vector<std::string> order;
    for (const ReceivedEvent& event : received)
        order.push_back(event.bytes);
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c", "late"}));
    EXPECT_TRUE(loopErrors.empty());
}

// The batch handler as the lobby uses it: each datagram taken with its bytes, which
// ReadDatagram also gives until the next is taken. Handling sendsOn sends to a host name
// whose lookup is held until "late", sent while it waits, has been taken nested inside it.
// What a nested batch's ReadDatagram gives before its first Next is the datagram taken last,
// even when that batch's receive refilled the storage the datagram was taken from.
TEST_P(UdpEndpointOnEachLoop, ABatchHandlerTakesEachDatagramWithItsBytesInArrivalOrder)
{
    struct Case {
        const char* name;
        std::vector<std::string> sent; // queued before the loop runs
        std::string sendsOn;
        std::vector<std::string> seen;
    };
    const std::string overLong = std::string(2048, 'x') + "TAIL";
    const Case cases[] = {
        {"rest of the batch before what came later", {"a", "b", "c"}, "a",
         {"1 a", "nested, read a", "1 b", "1 c", "nested, read c", "4 late", "after the send, read late"}},
        {"nested refill of the storage", {"a"}, "a", {"1 a", "nested, read a", "4 late", "after the send, read late"}},
        {"over-long datagram", {overLong, "ok"}, "", {"-1 from 127.0.0.1, Stream write error", "2 ok"}},
    };
    LoopbackPeer late("127.0.0.2");
    resolver.AnswerWith("127.0.0.1");
    resolver.OnCall([&late, port = endpoint->BoundPort()] { late.SendTo(port, "late"); });
    std::vector<std::string> seen;
    int depth = 0;
    const auto read = [&] {
        TMemoryStream stream;
        try {
            endpoint->ReadDatagram(stream);
        } catch (const EStreamError& error) {
            return error.Message();
        }
        return std::string(stream.Bytes());
    };
    std::string sendsOn;
    endpoint->OnReceiveBatch = [&](TUDPEndpoint&, ReceivedBatch& batch) {
        if (depth > 0)
            seen.push_back("nested, read " + read());
        ReceivedDatagram datagram;
        while (batch.Next(datagram)) {
            if (datagram.NumberBytes < 0) {
                EXPECT_TRUE(datagram.Bytes.empty());
                seen.push_back("-1 from " + datagram.FromIP + ", " + read());
                continue;
            }
            EXPECT_EQ(read(), datagram.Bytes);
            seen.push_back(std::to_string(datagram.NumberBytes) + " " + std::string(datagram.Bytes));
            if (datagram.Bytes == "late")
                resolver.Release();
            if (datagram.Bytes != sendsOn)
                continue;
            ++depth;
            SendTo("some.name.invalid", peer.Port(), "after lookup");
            --depth;
            seen.push_back("after the send, read " + read());
        }
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seen.clear();
        sendsOn = c.sendsOn;
        resolver.Gate();
        for (const std::string& bytes : c.sent)
            peer.SendTo(endpoint->BoundPort(), bytes);
        ASSERT_TRUE(PumpUntil(loop, [&] { return seen.size() >= c.seen.size(); }, 20000));
        EXPECT_EQ(seen, c.seen);
    }
    EXPECT_TRUE(loopErrors.empty());
}

TEST_P(UdpEndpointOnEachLoop, AHandlerMayDestroyOrMoveTheEndpointWhileDatagramsAreQueued)
{
    int calls = 0;
    endpoint->OnDataReceived = [&](TUDPEndpoint&, std::int32_t, const std::string&, std::int32_t) {
        ++calls;
        endpoint.reset();
    };
    for (int i = 0; i < 5; ++i)
        peer.SendTo(endpoint->BoundPort(), "gone");
    ASSERT_TRUE(PumpUntil(loop, [&] { return calls >= 1; }));
    PumpFor(loop, 50);
    EXPECT_EQ(calls, 1) << "nothing may be announced by an endpoint that is gone";
    EXPECT_TRUE(loopErrors.empty());

    // Moved to another port by its handler: what was queued on the old socket went with it.
    endpoint = std::make_unique<TUDPEndpoint>(loop);
    endpoint->SetLocalPort(0);
    const std::uint16_t oldPort = endpoint->BoundPort();
    RecordReceives();
    const auto record = endpoint->OnDataReceived;
    endpoint->OnDataReceived = [&, record](TUDPEndpoint& sender, std::int32_t n, const std::string& ip, std::int32_t port) {
        record(sender, n, ip, port);
        if (received.size() == 1)
            endpoint->SetLocalPort(0);
    };
    for (int i = 0; i < 5; ++i)
        peer.SendTo(oldPort, "old" + std::to_string(i));
    ASSERT_TRUE(WaitForReceives(1));
    PumpFor(loop, 50);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].bytes, "old0");
    peer.SendTo(endpoint->BoundPort(), "new");
    ASSERT_TRUE(WaitForReceives(2));
    EXPECT_EQ(received[1].bytes, "new");
}

TEST_P(UdpEndpointOnEachLoop, ReadDatagramBeforeAnyAndRepeatedWithoutHandler)
{
    TMemoryStream stream;
    endpoint->ReadDatagram(stream);
    EXPECT_EQ(stream.Size(), 0);
    EXPECT_EQ(endpoint->ReceivedCount(), 0);

    peer.SendTo(endpoint->BoundPort(), "stored");
    ASSERT_TRUE(PumpUntil(loop, [&] { return endpoint->ReceivedCount() == 6; }));
    endpoint->ReadDatagram(stream);
    endpoint->ReadDatagram(stream);
    EXPECT_EQ(stream.Bytes(), "stored");
    EXPECT_EQ(stream.Position(), 0);
}

// ---------------------------------------------------------------- binding

TEST_P(UdpEndpointOnEachLoop, AssigningLocalPortMovesTheEndpointAndBindingAgainChangesNothing)
{
    RecordReceives();
    const std::uint16_t oldPort = endpoint->BoundPort();
    endpoint->SetLocalPort(0);
    const std::uint16_t newPort = endpoint->BoundPort();
    ASSERT_NE(newPort, oldPort);
    endpoint->BindLocal();
    EXPECT_EQ(endpoint->BoundPort(), newPort);

    peer.SendTo(oldPort, "old");
    peer.SendTo(newPort, "new");
    ASSERT_TRUE(WaitForReceives(1));
    PumpFor(loop, 50);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].bytes, "new");
}

TEST_F(UdpEndpointTest, PortTakenByAnotherSocketRaisesNamingPortAndReason)
{
    // The blocker holds the port on every local address, as another program would.
    const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    socklen_t length = sizeof any;
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&any), &length);
    const int takenPort = ntohs(any.sin_port);

    const std::string message = SockErrorOf([&] { endpoint->SetLocalPort(takenPort); });
    ::close(blocker);
    EXPECT_NE(message.find(std::to_string(takenPort)), std::string::npos) << message;
    EXPECT_NE(message.find(std::strerror(EADDRINUSE)), std::string::npos) << message;
    EXPECT_EQ(endpoint->BoundPort(), 0);

    endpoint->SetLocalPort(0);
    EXPECT_NE(endpoint->BoundPort(), 0) << "the next assignment binds again";
}

TEST_F(UdpEndpointTest, RefusedSocketRaisesUnknownErrorNumber)
{
    const std::int32_t oldLocalPort = endpoint->LocalPort();
    // The same ways taken once first (an endpoint dropped as its error is caught, a socket
    // replaced), so that the sanitizer's type checks along them are settled while it can
    // still open the descriptors it needs for them.
    SockErrorOf([&] {
        TUDPEndpoint warmed(loop);
        warmed.SetLocalPort(0);
        throw UDPSockError("warming up");
    });
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit none = saved;
    none.rlim_cur = 3; // no new descriptor can be had
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    const std::string construction = SockErrorOf([&] { TUDPEndpoint failing(loop); });
    const std::string assignment = SockErrorOf([&] { endpoint->SetLocalPort(4321); });
    ::setrlimit(RLIMIT_NOFILE, &saved);

    const std::string expected = "Unknown Error No. " + std::to_string(EMFILE);
    EXPECT_EQ(construction, expected);
    EXPECT_EQ(assignment, expected);
    EXPECT_EQ(endpoint->LocalPort(), oldLocalPort);
    EXPECT_EQ(endpoint->BoundPort(), 0);
}

// ---------------------------------------------------------------- sending

TEST_F(UdpEndpointTest, SendsWholeStreamFromBoundPortToTheLow16BitsOfRemotePort)
{
    int sendEvents = 0;
    std::vector<std::string> statuses;
    endpoint->OnDataSend = [&](TUDPEndpoint&) { ++sendEvents; };
    endpoint->OnStatus = [&](TUDPEndpoint&, const std::string& text) { statuses.push_back(text); };
    TMemoryStream stream;
    stream.WriteBuffer("payload", 7);
    stream.SetPosition(3); // the whole stream goes, whatever its position
    endpoint->SetRemoteHost("127.0.0.1");
    endpoint->SetRemotePort(65536 + peer.Port());
    endpoint->SendDatagram(stream);

    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, "payload");
    EXPECT_EQ(got->fromPort, endpoint->BoundPort());
    EXPECT_EQ(stream.Position(), 7);
    EXPECT_EQ(sendEvents, 1);
    EXPECT_TRUE(resolver.Names().empty()) << "a dotted address needs no lookup";
    EXPECT_TRUE(statuses.empty()) << "ReportLevel 1 reports nothing";

    endpoint->SetReportLevel(2);
    SendTo("127.0.0.1", peer.Port(), "b");
    SendTo("127.0.0.1", peer.Port(), "c");
    EXPECT_EQ(statuses, (std::vector<std::string>{"Sending Data", "Sending Data"}));
}

TEST_F(UdpEndpointTest, ADatagramTheSystemRefusesIsCountedNotRaisedNorAnnounced)
{
    int sendEvents = 0;
    endpoint->OnDataSend = [&](TUDPEndpoint&) { ++sendEvents; };
    SendTo("127.0.0.1", 0, "to port zero"); // the system refuses port 0 as a destination
    EXPECT_EQ(endpoint->SendFailures(), 1u);
    EXPECT_EQ(sendEvents, 0);
    SendTo("127.0.0.1", peer.Port(), "next"); // and the endpoint goes on
    EXPECT_EQ(NextAtPeer(), "next");
    EXPECT_EQ(sendEvents, 1);
}

TEST_F(UdpEndpointTest, ABatchGoesInOrderAndADatagramTheSystemRefusesDoesNotStopTheOthers)
{
    int sendEvents = 0;
    std::vector<std::string> statuses;
    endpoint->OnDataSend = [&](TUDPEndpoint&) { ++sendEvents; };
    endpoint->OnStatus = [&](TUDPEndpoint&, const std::string& text) { statuses.push_back(text); };
    endpoint->SetReportLevel(2);
    endpoint->SetRemotePort(peer.Port());
    const std::uint32_t loopback = ::inet_addr("127.0.0.1");
    // The limited broadcast address is refused by the system: the socket may not broadcast.
    const std::vector<OutgoingDatagram> batch = {{"127.0.0.1", loopback, "one"},
                                                 {"255.255.255.255", INADDR_BROADCAST, "refused"},
                                                 {"127.0.0.1", loopback, "two"}};
    endpoint->SendBatch(batch);
    EXPECT_EQ(endpoint->SendFailures(), 1u);
    EXPECT_EQ(sendEvents, 2);
    EXPECT_EQ(statuses.size(), 3u);
    for (const char* expected : {"one", "two"}) {
        const auto got = peer.Receive();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->bytes, expected);
        EXPECT_EQ(got->fromPort, endpoint->BoundPort());
    }
    EXPECT_FALSE(peer.Receive(50));
}

TEST_F(UdpEndpointTest, LongestStreamSentIsTheBufferSize)
{
    const std::string largest(2048, 'L');
    SendTo("127.0.0.1", peer.Port(), largest);
    EXPECT_EQ(NextAtPeer(), largest);

    const std::string message = SockErrorOf([&] { SendTo("127.0.0.1", peer.Port(), largest + "L"); });
    EXPECT_NE(message.find("2048"), std::string::npos) << message;
    EXPECT_FALSE(peer.Receive(100));
}

TEST_F(UdpEndpointTest, EmptyStreamVariants)
{
    endpoint->SetRemoteHost("127.0.0.1");
    endpoint->SetRemotePort(peer.Port());
    auto expectInvalidStream = [&](const char* what) {
        TMemoryStream empty;
        try {
            endpoint->SendDatagram(empty);
            ADD_FAILURE() << what << ": no error";
        } catch (const UDPSockError&) {
            ADD_FAILURE() << what << ": must be a plain Exception";
        } catch (const Exception& error) {
            EXPECT_EQ(error.Message(), "Invalid stream") << what;
        }
    };

    expectInvalidStream("no handler");
    int calls = 0;
    endpoint->OnStreamInvalid = [&](bool&, TStream&) { ++calls; };
    expectInvalidStream("handler leaves handled false");
    endpoint->OnStreamInvalid = [&](bool& handled, TStream&) { ++calls, handled = true; };
    expectInvalidStream("handler sets handled, writes nothing");
    EXPECT_EQ(calls, 2) << "one handler call per send";
    EXPECT_FALSE(peer.Receive(100)) << "nothing may be sent for an empty stream";

    endpoint->OnStreamInvalid = [&](bool& handled, TStream& stream) {
        stream.WriteBuffer("filled", 6);
        handled = true;
    };
    TMemoryStream empty;
    endpoint->SendDatagram(empty);
    EXPECT_EQ(NextAtPeer(), "filled");
}

TEST_F(UdpEndpointTest, NullRemoteAddressIsRefusedWithoutLookupOrReport)
{
    std::vector<std::string> statuses;
    endpoint->SetReportLevel(255);
    endpoint->OnStatus = [&](TUDPEndpoint&, const std::string& text) { statuses.push_back(text); };
    EXPECT_EQ(SockErrorOf([&] { SendTo("0.0.0.0", peer.Port(), "x"); }), "Null Remote Address");
    EXPECT_TRUE(resolver.Names().empty());
    EXPECT_TRUE(statuses.empty());
}

TEST_P(UdpEndpointOnEachLoop, AllOnesAddressAndNamesUpTo127CharactersGoToTheLookup)
{
    // 255.255.255.255 is inet_addr's failure value. The stand-in answers 127.0.0.1, so that
    // nothing is broadcast.
    resolver.AnswerWith("127.0.0.1");
    const std::string longest(127, 'h');
    SendTo("255.255.255.255", peer.Port(), "all ones");
    SendTo(longest, peer.Port(), "longest");
    EXPECT_EQ(resolver.Names(), (std::vector<std::string>{"255.255.255.255", longest}));
    const auto first = peer.Receive();
    const auto second = peer.Receive();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->bytes, "all ones");
    EXPECT_EQ(second->bytes, "longest");

    const std::string message = SockErrorOf([&] { SendTo(longest + "h", peer.Port(), "too long"); });
    EXPECT_NE(message.find("127"), std::string::npos) << message;
    EXPECT_EQ(resolver.Names().size(), 2u);
    EXPECT_FALSE(peer.Receive(100));
}

TEST_F(UdpEndpointTest, EveryAddressFormOfInetAddrIsSentToWithoutALookup)
{
    // The plain form takes a quicker path than inet_addr; the other forms inet_addr reads
    // (octal and hexadecimal parts, fewer than four parts, a trailing blank) must still reach
    // the same address and never be taken for host names.
    const std::vector<std::string> forms{"127.0.0.1", "0177.0.0.1", "0x7f.0.0.1", "127.1", "127.0.1", "127.0.0.01",
                                         "2130706433", "127.0.0.1 "};
    for (const std::string& form : forms)
        SendTo(form, peer.Port(), form);
    EXPECT_TRUE(resolver.Names().empty());
    for (const std::string& form : forms) {
        EXPECT_EQ(NextAtPeer(), form) << form;
    }
}

TEST_P(UdpEndpointOnEachLoop, ResolvableNameIsLookedUpOncePerSend)
{
    SendTo("localhost", peer.Port(), "first");
    SendTo("localhost", peer.Port(), "second");
    EXPECT_EQ(resolver.Names(), (std::vector<std::string>{"localhost", "localhost"}));
    const auto first = peer.Receive();
    const auto second = peer.Receive();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->bytes, "first");
    EXPECT_EQ(second->bytes, "second");
}

TEST_P(UdpEndpointOnEachLoop, UnresolvableNameCostsOneLookupOrTwoWithAHandlingHandler)
{
    const std::string name = "no-such-host.invalid";
    auto send = [&] { return SockErrorOf([&] { SendTo(name, peer.Port(), "x"); }); };

    EXPECT_EQ(send(), "Host Lookup Canceled");
    EXPECT_EQ(resolver.Names().size(), 1u) << "no handler: one lookup";

    int calls = 0;
    endpoint->OnInvalidHost = [&](bool&) { ++calls; };
    EXPECT_EQ(send(), "Host Lookup Canceled");
    EXPECT_EQ(resolver.Names().size(), 2u) << "handler leaving handled false: one lookup";

    endpoint->OnInvalidHost = [&](bool& handled) { ++calls, handled = true; };
    EXPECT_EQ(send(), "Host Lookup Canceled");
    EXPECT_EQ(resolver.Names().size(), 4u) << "handler setting handled: two lookups";
    EXPECT_EQ(calls, 2) << "one handler call per send";
    EXPECT_EQ(resolver.Names(), std::vector<std::string>(4, name));
    EXPECT_FALSE(peer.Receive(100));
}

// ---------------------------------------------------------------- the lookup wait

TEST_P(UdpEndpointOnEachLoop, DatagramsArriveNestedWhileASendWaitsForALookup)
{
    // The worker sends a datagram and holds its answer until the endpoint's handler has
    // run, which can only happen if the wait dispatches events.
    LoopbackPeer sender;
    RecordReceivesDuringAHeldLookup(sender, "nested", [&] { resolver.Release(); });

    SendTo("some.name.invalid", peer.Port(), "after lookup");
    ASSERT_EQ(received.size(), 1u) << "the datagram must be handled during the wait";
    EXPECT_EQ(received[0].bytes, "nested");
    EXPECT_EQ(NextAtPeer(), "after lookup");
}

TEST_P(UdpEndpointOnEachLoop, LookupThatNeverAnswersTimesOutAsFailed)
{
    resolver.AnswerWith("127.0.0.1");
    resolver.Gate();
    endpoint->SetLookupTimeoutMs(100);
    endpoint->OnInvalidHost = [](bool& handled) { handled = true; };
    EXPECT_EQ(SockErrorOf([&] { SendTo("slow.invalid", peer.Port(), "x"); }), "Host Lookup Canceled");
    EXPECT_EQ(resolver.Names().size(), 2u);

    // The late answers change nothing.
    resolver.Release();
    ASSERT_TRUE(PumpUntil(loop, [&] { return resolver.Finished() == 2; }));
    PumpFor(loop, 50);
    EXPECT_FALSE(peer.Receive(100));
    EXPECT_TRUE(loopErrors.empty());
}

TEST_P(UdpEndpointOnEachLoop, SecondLookupWhileOneWaitsIsRefused)
{
    resolver.AnswerWith("127.0.0.1");
    resolver.Gate();
    // During the wait a nested handler tries a named send of its own; its error goes to the
    // loop, which then lets the outer lookup answer.
    resolver.OnCall([this] {
        loop.Post([this] {
            if (resolver.Names().size() == 1)
                SendTo("inner.invalid", peer.Port(), "inner");
        });
    });
    onLoopError = [&](const std::exception& error) {
        loopErrors.push_back(error.what());
        resolver.Release();
    };

    SendTo("outer.invalid", peer.Port(), "outer");
    EXPECT_EQ(loopErrors, std::vector<std::string>{"Host lookup already in progress"});
    EXPECT_EQ(NextAtPeer(), "outer");
}

TEST_P(UdpEndpointOnEachLoop, EndpointDestroyedDuringItsLookupWaitEndsTheSendSafely)
{
    resolver.AnswerWith("127.0.0.1");
    resolver.Gate();
    resolver.OnCall([this] { loop.Post([this] { endpoint.reset(); }); });

    TUDPEndpoint* raw = endpoint.get();
    raw->SetRemoteHost("gone.invalid");
    raw->SetRemotePort(peer.Port());
    TMemoryStream stream;
    stream.WriteBuffer("x", 1);
    EXPECT_THROW(raw->SendDatagram(stream), UDPSockError);
    EXPECT_EQ(endpoint, nullptr);

    // The worker finishes after its endpoint is gone and must not post to it.
    resolver.Release();
    ASSERT_TRUE(PumpUntil(loop, [&] { return resolver.Finished() == 1; }));
    PumpFor(loop, 50);
    EXPECT_FALSE(peer.Receive(100));
}

// ---------------------------------------------------------------- error numbers and texts

TEST_F(UdpEndpointTest, ErrorManagerToleratesOnlyTheExactNumber)
{
    const int tolerated = EWOULDBLOCK;
    EXPECT_NO_THROW(endpoint->ErrorManager(tolerated, tolerated));
    // Numbers carrying every bit of the tolerated one, which a bit-mask test would pass.
    int supersets = 0;
    for (int error = 1; error < 135; ++error) {
        if (error == tolerated || (error & tolerated) != tolerated)
            continue;
        ++supersets;
        EXPECT_EQ(SockErrorOf([&] { endpoint->ErrorManager(tolerated, error); }),
                  "Unknown Error No. " + std::to_string(error));
    }
    EXPECT_GT(supersets, 0);
    EXPECT_EQ(SockErrorOf([&] { endpoint->ErrorManager(tolerated, 0); }), "") << "0 raises, with no text";
    EXPECT_EQ(endpoint->ErrorMessageText(EADDRINUSE, "given"), "given");
}

TEST_F(UdpEndpointTest, ErrorManagerReportsItsStepsByLevel)
{
    std::vector<std::string> statuses;
    endpoint->OnStatus = [&](TUDPEndpoint&, const std::string& text) { statuses.push_back(text); };
    const std::string message = "Unknown Error No. " + std::to_string(EADDRINUSE);
    auto reportsAt = [&](int level) {
        statuses.clear();
        endpoint->SetReportLevel(level);
        EXPECT_EQ(SockErrorOf([&] { endpoint->ErrorManager(EWOULDBLOCK, EADDRINUSE); }), message);
        return statuses;
    };
    EXPECT_EQ(reportsAt(16), (std::vector<std::string>{"Checking Error In Error Manager", "Looking Up Error Message" + message}));
    EXPECT_EQ(reportsAt(8), std::vector<std::string>{"Looking Up Error Message" + message});
    EXPECT_TRUE(reportsAt(2).empty());
}

} // namespace
