// TUDPEndpoint on real loopback sockets: every endpoint binds port 0 and talks only to peers
// on 127.0.0.0/8; every wait is bounded. Name lookups resolve only "localhost" and names
// under the reserved ".invalid" domain, or go to a resolver the test provides.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "app/qt_event_loop.h"
#include "net/udp_endpoint.h"
#include "net/udp_sock_error.h"
#include "support/loopback.h"

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

// A resolver that counts its calls and records the names; thread-safe, since lookups run on
// worker threads. It answers from `answer` or, when unset, from the system's resolver.
struct CountingResolver {
    struct State {
        std::mutex mutex;
        std::vector<std::string> names;
        std::optional<std::uint32_t> answer;
        bool useSystem = true;
    };
    std::shared_ptr<State> state = std::make_shared<State>();

    HostResolver Resolver() const
    {
        return [state = state](const std::string& name) -> std::optional<std::uint32_t> {
            {
                std::lock_guard lock(state->mutex);
                state->names.push_back(name);
                if (!state->useSystem)
                    return state->answer;
            }
            return ResolveHostName(name);
        };
    }
    std::vector<std::string> Names() const
    {
        std::lock_guard lock(state->mutex);
        return state->names;
    }
    void AnswerWith(const char* dotted)
    {
        std::lock_guard lock(state->mutex);
        state->useSystem = false;
        state->answer = ::inet_addr(dotted);
    }
};

class UdpEndpointTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        endpoint = std::make_unique<TUDPEndpoint>(loop);
        endpoint->SetLocalPort(0);
        ASSERT_NE(endpoint->BoundPort(), 0);
        endpoint->SetHostResolver(resolver.Resolver());
    }

    // Records every datagram as the lobby's handler would see it.
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

    std::vector<std::string> loopErrors;
    QtEventLoop loop{[this](const std::exception& error) { loopErrors.push_back(error.what()); }};
    CountingResolver resolver;
    std::unique_ptr<TUDPEndpoint> endpoint;
    std::vector<ReceivedEvent> received;
    LoopbackPeer peer;
};

// ---------------------------------------------------------------- receiving

TEST_F(UdpEndpointTest, ReceivesFiveBytesWithCountSenderAndPort)
{
    RecordReceives();
    LoopbackPeer other("127.100.20.3"); // three, two and one digits: no leading zeros
    other.SendTo(endpoint->BoundPort(), "hello");
    ASSERT_TRUE(WaitForReceives(1));

    EXPECT_EQ(received[0].numberBytes, 5);
    EXPECT_EQ(received[0].fromIp, "127.100.20.3");
    EXPECT_EQ(received[0].port, other.Port());
    EXPECT_EQ(received[0].bytes, "hello");
}

TEST_F(UdpEndpointTest, EachDatagramIsOneEventInArrivalOrder)
{
    RecordReceives();
    for (const char* text : {"one", "two", "three"})
        peer.SendTo(endpoint->BoundPort(), text);
    ASSERT_TRUE(WaitForReceives(3));
    PumpFor(loop, 50);

    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].bytes, "one");
    EXPECT_EQ(received[1].bytes, "two");
    EXPECT_EQ(received[2].bytes, "three");
}

TEST_F(UdpEndpointTest, ZeroLengthDatagramWritesNothingAndRewinds)
{
    std::vector<std::int32_t> counts;
    TMemoryStream stream;
    stream.WriteBuffer("abc", 3);
    endpoint->OnDataReceived = [&](TUDPEndpoint& sender, std::int32_t n, const std::string&, std::int32_t) {
        counts.push_back(n);
        sender.ReadDatagram(stream);
    };
    peer.SendTo(endpoint->BoundPort(), "");
    ASSERT_TRUE(PumpUntil(loop, [&] { return !counts.empty(); }));

    EXPECT_EQ(counts[0], 0);
    EXPECT_EQ(stream.Bytes(), "abc");
    EXPECT_EQ(stream.Position(), 0);
}

TEST_F(UdpEndpointTest, DatagramOfExactlyBufferSizeIsDeliveredWhole)
{
    RecordReceives();
    std::string big(2048, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    peer.SendTo(endpoint->BoundPort(), big);
    ASSERT_TRUE(WaitForReceives(1));

    EXPECT_EQ(received[0].numberBytes, 2048);
    EXPECT_EQ(received[0].bytes, big);
}

TEST_F(UdpEndpointTest, LongerDatagramIsAFailedReceiveFromItsRealSenderAndTheRestIsDiscarded)
{
    RecordReceives();
    std::string tooBig(2049, 'x');
    tooBig[2048] = 'T';
    peer.SendTo(endpoint->BoundPort(), tooBig);
    peer.SendTo(endpoint->BoundPort(), "next");
    ASSERT_TRUE(WaitForReceives(2));

    EXPECT_EQ(received[0].numberBytes, -1);
    EXPECT_EQ(received[0].fromIp, "127.0.0.1");
    EXPECT_EQ(received[0].port, peer.Port());
    // The tail of the long datagram must not leak into the next one.
    EXPECT_EQ(received[1].numberBytes, 4);
    EXPECT_EQ(received[1].bytes, "next");
}

TEST_F(UdpEndpointTest, ReadAfterFailedReceiveRaisesStreamWriteError)
{
    peer.SendTo(endpoint->BoundPort(), std::string(3000, 'x'));
    ASSERT_TRUE(PumpUntil(loop, [&] { return endpoint->ReceivedCount() == -1; }));

    TMemoryStream stream;
    try {
        endpoint->ReadDatagram(stream);
        FAIL() << "a count of -1 must not be written";
    } catch (const EStreamError& error) {
        EXPECT_EQ(error.Message(), "Stream write error");
    }
    EXPECT_EQ(stream.Size(), 0);
}

TEST_F(UdpEndpointTest, ReadDatagramBeforeAnyDatagramWritesNothing)
{
    TMemoryStream stream;
    endpoint->ReadDatagram(stream);
    EXPECT_EQ(stream.Size(), 0);
    EXPECT_EQ(stream.Position(), 0);
    EXPECT_EQ(endpoint->ReceivedCount(), 0);
}

TEST_F(UdpEndpointTest, WithoutHandlerDatagramIsTakenAndReadableLaterAsOftenAsWanted)
{
    peer.SendTo(endpoint->BoundPort(), "stored");
    ASSERT_TRUE(PumpUntil(loop, [&] { return endpoint->ReceivedCount() == 6; }));

    TMemoryStream stream;
    endpoint->ReadDatagram(stream);
    endpoint->ReadDatagram(stream);
    EXPECT_EQ(stream.Bytes(), "stored");
    EXPECT_EQ(stream.Position(), 0);
    EXPECT_TRUE(loopErrors.empty());
}

TEST_F(UdpEndpointTest, HandlerErrorReachesTheLoopAndLaterDatagramsStillArrive)
{
    int calls = 0;
    endpoint->OnDataReceived = [&](TUDPEndpoint&, std::int32_t, const std::string&, std::int32_t) {
        if (++calls == 1)
            throw Exception("handler failed");
    };
    peer.SendTo(endpoint->BoundPort(), "a");
    peer.SendTo(endpoint->BoundPort(), "b");
    ASSERT_TRUE(PumpUntil(loop, [&] { return calls == 2; }));
    EXPECT_EQ(loopErrors, std::vector<std::string>{"handler failed"});
}

// ---------------------------------------------------------------- binding

TEST_F(UdpEndpointTest, AssigningLocalPortMovesTheEndpoint)
{
    RecordReceives();
    const std::uint16_t oldPort = endpoint->BoundPort();
    endpoint->SetLocalPort(0);
    const std::uint16_t newPort = endpoint->BoundPort();
    ASSERT_NE(newPort, 0);
    ASSERT_NE(newPort, oldPort);

    peer.SendTo(oldPort, "old");
    peer.SendTo(newPort, "new");
    ASSERT_TRUE(WaitForReceives(1));
    PumpFor(loop, 50);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].bytes, "new");
}

TEST_F(UdpEndpointTest, BindLocalAgainKeepsListeningWithOneEventPerDatagram)
{
    RecordReceives();
    const std::uint16_t port = endpoint->BoundPort();
    endpoint->BindLocal();
    EXPECT_EQ(endpoint->BoundPort(), port);

    peer.SendTo(port, "once");
    ASSERT_TRUE(WaitForReceives(1));
    PumpFor(loop, 50);
    EXPECT_EQ(received.size(), 1u);
}

TEST_F(UdpEndpointTest, PortTakenByAnotherSocketRaisesNamingPortAndReason)
{
    // The blocker binds every local address, as another program on the port would.
    const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    socklen_t length = sizeof any;
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&any), &length);
    const int takenPort = ntohs(any.sin_port);

    try {
        endpoint->SetLocalPort(takenPort);
        FAIL() << "binding a taken port must not pass silently";
    } catch (const UDPSockError& error) {
        EXPECT_NE(error.Message().find(std::to_string(takenPort)), std::string::npos) << error.Message();
        EXPECT_NE(error.Message().find(std::strerror(EADDRINUSE)), std::string::npos) << error.Message();
    }
    ::close(blocker);
    EXPECT_EQ(endpoint->BoundPort(), 0);

    // Not wedged: the next assignment binds again.
    endpoint->SetLocalPort(0);
    EXPECT_NE(endpoint->BoundPort(), 0);
}

// Lowers the open-file limit so that no new descriptor can be had, and restores it.
class NoMoreDescriptors {
public:
    NoMoreDescriptors()
    {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit none = saved_;
        none.rlim_cur = 3;
        ok_ = ::setrlimit(RLIMIT_NOFILE, &none) == 0;
    }
    ~NoMoreDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    bool Ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};

TEST_F(UdpEndpointTest, RefusedSocketRaisesUnknownErrorNumber)
{
    const std::string expected = "Unknown Error No. " + std::to_string(EMFILE);
    const std::int32_t oldLocalPort = endpoint->LocalPort();
    std::string constructionError;
    std::string assignmentError;
    {
        NoMoreDescriptors limit;
        ASSERT_TRUE(limit.Ok());
        try {
            TUDPEndpoint failing(loop);
        } catch (const UDPSockError& error) {
            constructionError = error.Message();
        }
        try {
            endpoint->SetLocalPort(4321);
        } catch (const UDPSockError& error) {
            assignmentError = error.Message();
        }
    }
    EXPECT_EQ(constructionError, expected);
    EXPECT_EQ(assignmentError, expected);
    EXPECT_EQ(endpoint->LocalPort(), oldLocalPort);
    EXPECT_EQ(endpoint->BoundPort(), 0);
}

// ---------------------------------------------------------------- sending

TEST_F(UdpEndpointTest, SendsWholeStreamFromBoundPortToDottedHost)
{
    int sendEvents = 0;
    endpoint->OnDataSend = [&](TUDPEndpoint& sender) {
        EXPECT_EQ(&sender, endpoint.get());
        ++sendEvents;
    };
    TMemoryStream stream;
    stream.WriteBuffer("payload", 7);
    stream.SetPosition(3); // the whole stream is sent, whatever its position
    endpoint->SetRemoteHost("127.0.0.1");
    endpoint->SetRemotePort(peer.Port());
    endpoint->SendDatagram(stream);

    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, "payload");
    EXPECT_EQ(got->fromPort, endpoint->BoundPort());
    EXPECT_EQ(stream.Position(), 7);
    EXPECT_EQ(sendEvents, 1);
    EXPECT_TRUE(resolver.Names().empty()) << "a dotted address needs no lookup";
}

TEST_F(UdpEndpointTest, BufferSizeIsTheLongestStreamSent)
{
    const std::string largest(2048, 'L');
    SendTo("127.0.0.1", peer.Port(), largest);
    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, largest);

    try {
        SendTo("127.0.0.1", peer.Port(), std::string(2049, 'L'));
        FAIL() << "a stream over 2048 bytes must be refused";
    } catch (const UDPSockError& error) {
        EXPECT_NE(error.Message().find("2048"), std::string::npos) << error.Message();
    }
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
    EXPECT_EQ(calls, 1);

    calls = 0;
    endpoint->OnStreamInvalid = [&](bool& handled, TStream&) { ++calls; handled = true; };
    expectInvalidStream("handler sets handled, writes nothing");
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(peer.Receive(100)) << "nothing may be sent for an empty stream";

    endpoint->OnStreamInvalid = [&](bool& handled, TStream& stream) {
        stream.WriteBuffer("filled", 6);
        handled = true;
    };
    TMemoryStream empty;
    endpoint->SendDatagram(empty);
    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, "filled");
}

TEST_F(UdpEndpointTest, NullRemoteAddressIsRefusedWithoutLookupOrReport)
{
    std::vector<std::string> statuses;
    endpoint->SetReportLevel(255);
    endpoint->OnStatus = [&](TUDPEndpoint&, const std::string& text) { statuses.push_back(text); };
    try {
        SendTo("0.0.0.0", peer.Port(), "x");
        FAIL() << "0.0.0.0 must be refused";
    } catch (const UDPSockError& error) {
        EXPECT_EQ(error.Message(), "Null Remote Address");
    }
    EXPECT_TRUE(resolver.Names().empty());
    EXPECT_TRUE(statuses.empty());
}

TEST_F(UdpEndpointTest, AllOnesAddressGoesToTheNameLookup)
{
    // 255.255.255.255 is inet_addr's failure value; the resolver stands in for the name
    // server so that nothing is broadcast.
    resolver.AnswerWith("127.0.0.1");
    SendTo("255.255.255.255", peer.Port(), "via lookup");
    EXPECT_EQ(resolver.Names(), std::vector<std::string>{"255.255.255.255"});
    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, "via lookup");
}

TEST_F(UdpEndpointTest, ResolvableNameIsLookedUpOncePerSend)
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

TEST_F(UdpEndpointTest, UnresolvableNameCostsOneLookupOrTwoWithAHandlingHandler)
{
    const std::string name = "no-such-host.invalid";
    auto expectCanceled = [&] {
        try {
            SendTo(name, peer.Port(), "x");
            ADD_FAILURE() << "an unresolvable name must fail";
        } catch (const UDPSockError& error) {
            EXPECT_EQ(error.Message(), "Host Lookup Canceled");
        }
    };

    expectCanceled();
    EXPECT_EQ(resolver.Names().size(), 1u) << "no handler: one lookup";

    int calls = 0;
    endpoint->OnInvalidHost = [&](bool&) { ++calls; };
    expectCanceled();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(resolver.Names().size(), 2u) << "handler leaving handled false: one lookup";

    calls = 0;
    endpoint->OnInvalidHost = [&](bool& handled) {
        ++calls;
        handled = true;
    };
    expectCanceled();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(resolver.Names().size(), 4u) << "handler setting handled: two lookups of the same name";
    for (const auto& looked : resolver.Names())
        EXPECT_EQ(looked, name);
    EXPECT_FALSE(peer.Receive(100));
}

TEST_F(UdpEndpointTest, HostTextLimitIs127Characters)
{
    resolver.AnswerWith("127.0.0.1");
    const std::string longest(127, 'h');
    SendTo(longest, peer.Port(), "fits");
    ASSERT_EQ(resolver.Names().size(), 1u);
    EXPECT_EQ(resolver.Names()[0], longest);
    EXPECT_TRUE(peer.Receive());

    try {
        SendTo(longest + "h", peer.Port(), "too long");
        FAIL() << "a 128-character host must be refused";
    } catch (const UDPSockError& error) {
        EXPECT_NE(error.Message().find("127"), std::string::npos) << error.Message();
    }
    EXPECT_EQ(resolver.Names().size(), 1u);
    EXPECT_FALSE(peer.Receive(100));
}

TEST_F(UdpEndpointTest, RemotePortUsesItsLow16BitsOnly)
{
    SendTo("127.0.0.1", 65536 + peer.Port(), "wrapped");
    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, "wrapped");
}

TEST_F(UdpEndpointTest, RefusedSendRaisesAndIsNotReportedAsSent)
{
    int sendEvents = 0;
    endpoint->OnDataSend = [&](TUDPEndpoint&) { ++sendEvents; };
    // The system refuses datagrams to port 0.
    try {
        SendTo("127.0.0.1", 0, "nowhere");
        FAIL() << "a refused send must not pass as sent";
    } catch (const UDPSockError& error) {
        EXPECT_NE(error.Message().find("127.0.0.1:0"), std::string::npos) << error.Message();
    }
    EXPECT_EQ(sendEvents, 0);
}

TEST_F(UdpEndpointTest, ReportLevelOneReportsNothingAndTwoReportsEachSend)
{
    std::vector<std::string> statuses;
    endpoint->OnStatus = [&](TUDPEndpoint&, const std::string& text) { statuses.push_back(text); };
    EXPECT_EQ(endpoint->ReportLevel(), 1);
    SendTo("127.0.0.1", peer.Port(), "a");
    EXPECT_TRUE(statuses.empty());

    endpoint->SetReportLevel(2);
    SendTo("127.0.0.1", peer.Port(), "b");
    SendTo("127.0.0.1", peer.Port(), "c");
    EXPECT_EQ(statuses, (std::vector<std::string>{"Sending Data", "Sending Data"}));
}

// ---------------------------------------------------------------- the lookup wait

// A resolver that holds its answer until the test releases it (or a bound passes), and
// lets the test run something on the worker thread first.
struct GatedResolver {
    struct State {
        std::mutex mutex;
        std::condition_variable released;
        bool open = false;
        std::atomic<int> calls{0};
        std::atomic<int> finished{0};
        std::function<void()> onCall;
    };
    std::shared_ptr<State> state = std::make_shared<State>();

    HostResolver Resolver() const
    {
        return [state = state](const std::string&) -> std::optional<std::uint32_t> {
            ++state->calls;
            if (state->onCall)
                state->onCall();
            std::unique_lock lock(state->mutex);
            state->released.wait_for(lock, std::chrono::seconds(5), [&] { return state->open; });
            ++state->finished;
            return ::inet_addr("127.0.0.1");
        };
    }
    void Release()
    {
        std::lock_guard lock(state->mutex);
        state->open = true;
        state->released.notify_all();
    }
};

TEST_F(UdpEndpointTest, DatagramsArriveNestedWhileASendWaitsForALookup)
{
    RecordReceives();
    GatedResolver gate;
    // The worker releases itself once the endpoint's handler has run: that can only happen
    // if the wait dispatches events.
    const std::uint16_t endpointPort = endpoint->BoundPort();
    LoopbackPeer sender;
    auto state = gate.state;
    gate.state->onCall = [&sender, endpointPort] { sender.SendTo(endpointPort, "nested"); };
    endpoint->OnDataReceived = [this, state](TUDPEndpoint& ep, std::int32_t n, const std::string& ip, std::int32_t port) {
        TMemoryStream stream;
        ep.ReadDatagram(stream);
        received.push_back({n, ip, port, std::string(stream.Bytes())});
        std::lock_guard lock(state->mutex);
        state->open = true;
        state->released.notify_all();
    };
    endpoint->SetHostResolver(gate.Resolver());

    SendTo("some.name.invalid", peer.Port(), "after lookup");

    ASSERT_EQ(received.size(), 1u) << "the datagram must be handled during the wait";
    EXPECT_EQ(received[0].bytes, "nested");
    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, "after lookup");
}

TEST_F(UdpEndpointTest, LookupThatNeverAnswersTimesOutAsFailed)
{
    GatedResolver gate;
    endpoint->SetHostResolver(gate.Resolver());
    endpoint->SetLookupTimeoutMs(100);
    int calls = 0;
    endpoint->OnInvalidHost = [&](bool& handled) {
        ++calls;
        handled = true;
    };
    try {
        SendTo("slow.invalid", peer.Port(), "x");
        FAIL() << "a lookup without answer must end";
    } catch (const UDPSockError& error) {
        EXPECT_EQ(error.Message(), "Host Lookup Canceled");
    }
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(gate.state->calls, 2);

    // The late answers must change nothing: the workers finish against a waited-out lookup.
    gate.Release();
    ASSERT_TRUE(PumpUntil(loop, [&] { return gate.state->finished == 2; }));
    PumpFor(loop, 50);
    EXPECT_FALSE(peer.Receive(100));
    EXPECT_TRUE(loopErrors.empty());
}

TEST_F(UdpEndpointTest, SecondLookupWhileOneWaitsIsRefused)
{
    GatedResolver gate;
    endpoint->SetHostResolver(gate.Resolver());
    // During the wait, a nested handler tries a second named send on the same endpoint.
    gate.state->onCall = [this] {
        loop.Post([this] {
            SendTo("other.invalid", peer.Port(), "nested");
        });
    };
    auto state = gate.state;
    loop.SetErrorHandler([&, state](const std::exception& error) {
        loopErrors.push_back(error.what());
        std::lock_guard lock(state->mutex);
        state->open = true;
        state->released.notify_all();
    });

    SendTo("outer.invalid", peer.Port(), "outer");
    EXPECT_EQ(loopErrors, std::vector<std::string>{"Host lookup already in progress"});
    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, "outer");
}

TEST_F(UdpEndpointTest, EndpointDestroyedDuringItsLookupWaitEndsTheSendSafely)
{
    GatedResolver gate;
    endpoint->SetHostResolver(gate.Resolver());
    gate.state->onCall = [this] { loop.Post([this] { endpoint.reset(); }); };

    TUDPEndpoint* raw = endpoint.get();
    raw->SetRemoteHost("gone.invalid");
    raw->SetRemotePort(peer.Port());
    TMemoryStream stream;
    stream.WriteBuffer("x", 1);
    EXPECT_THROW(raw->SendDatagram(stream), UDPSockError);
    EXPECT_EQ(endpoint, nullptr);

    // The worker finishes after its endpoint is gone and must not post to it.
    gate.Release();
    ASSERT_TRUE(PumpUntil(loop, [&] { return gate.state->finished == 1; }));
    PumpFor(loop, 50);
    EXPECT_FALSE(peer.Receive(100));
}

// ---------------------------------------------------------------- error numbers and texts

TEST_F(UdpEndpointTest, ErrorMessageTextNamesTheNumber)
{
    EXPECT_EQ(endpoint->ErrorMessageText(EADDRINUSE), "Unknown Error No. " + std::to_string(EADDRINUSE));
    EXPECT_EQ(endpoint->ErrorMessageText(0), "");
    EXPECT_EQ(endpoint->ErrorMessageText(EADDRINUSE, "given"), "given");
}

TEST_F(UdpEndpointTest, ErrorManagerToleratesOnlyTheExactNumber)
{
    const int tolerated = EWOULDBLOCK;
    EXPECT_NO_THROW(endpoint->ErrorManager(tolerated, tolerated));

    // Numbers that carry every bit of the tolerated one (a bit-mask test would pass them).
    int supersets = 0;
    for (int error = 1; error < 135; ++error) {
        if (error == tolerated || (error & tolerated) != tolerated)
            continue;
        ++supersets;
        try {
            endpoint->ErrorManager(tolerated, error);
            ADD_FAILURE() << "error " << error << " passed as success";
        } catch (const UDPSockError& e) {
            EXPECT_EQ(e.Message(), "Unknown Error No. " + std::to_string(error));
        }
    }
    EXPECT_GT(supersets, 0);

    try {
        endpoint->ErrorManager(tolerated, 0);
        FAIL() << "error number 0 is not the tolerated one";
    } catch (const UDPSockError& e) {
        EXPECT_EQ(e.Message(), "");
    }
}

TEST_F(UdpEndpointTest, ErrorManagerReportsItsStepsByLevel)
{
    std::vector<std::string> statuses;
    endpoint->OnStatus = [&](TUDPEndpoint&, const std::string& text) { statuses.push_back(text); };
    const std::string message = "Unknown Error No. " + std::to_string(EADDRINUSE);

    endpoint->SetReportLevel(16);
    EXPECT_THROW(endpoint->ErrorManager(EWOULDBLOCK, EADDRINUSE), UDPSockError);
    EXPECT_EQ(statuses, (std::vector<std::string>{"Checking Error In Error Manager", "Looking Up Error Message" + message}));

    statuses.clear();
    endpoint->SetReportLevel(8);
    EXPECT_THROW(endpoint->ErrorManager(EWOULDBLOCK, EADDRINUSE), UDPSockError);
    EXPECT_EQ(statuses, std::vector<std::string>{"Looking Up Error Message" + message});

    statuses.clear();
    endpoint->SetReportLevel(2);
    EXPECT_THROW(endpoint->ErrorManager(EWOULDBLOCK, EADDRINUSE), UDPSockError);
    EXPECT_TRUE(statuses.empty());
}

} // namespace
