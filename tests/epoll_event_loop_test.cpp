// The event loop contract the endpoint and the lobby rely on, checked once for each loop the
// program can run on (Qt's, and the epoll one for servers without a window): posts from other
// threads, level-triggered readable callbacks, registrations dropped from inside callbacks,
// periodic timers, nested dispatch that re-enters a running callback only when it was
// registered reentrant (the endpoint's reader), errors that must not end the loop, and Quit.
// Then what only the epoll loop promises. Every wait is bounded in count and time.
#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/qt_event_loop.h"
#include "platform/linux/epoll_event_loop.h"
#include "platform/exception.h"
#include "support/loopback.h"

using namespace lobby;

namespace {

using test_support::PumpFor;
using test_support::PumpUntil;
using Clock = std::chrono::steady_clock;
using Registration = std::unique_ptr<EventLoop::Registration>;

// A datagram socket pair; the test writes one end and watches the other.
struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0); }
    ~SocketPair()
    {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    int Watched() const { return fds[0]; }
    void Send(const char* text) const { EXPECT_EQ(::write(fds[1], text, 1), 1); }
    // One queued byte, or 0 when none is queued.
    char Take() const
    {
        char c = 0;
        return ::recv(fds[0], &c, 1, MSG_DONTWAIT) == 1 ? c : 0;
    }
};

// Runs the loop until Quit; a guard quits after 5 s so that a lost quit cannot hang the
// test. True when Quit, not the guard, ended it.
bool RunUntilQuit(QtEventLoop&)
{
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(5000);
    return QCoreApplication::exec() == 0;
}

bool RunUntilQuit(EpollEventLoop& loop)
{
    bool guardFired = false;
    const Registration guard = loop.StartTimer(5000, [&] {
        guardFired = true;
        loop.Quit();
    });
    loop.Run();
    return !guardFired;
}

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

template <typename Loop>
class EventLoopContract : public ::testing::Test {
protected:
    std::vector<std::string> errors;
    Loop loop{[this](const std::exception& error) { errors.push_back(error.what()); }};
};

using Loops = ::testing::Types<QtEventLoop, EpollEventLoop>;
TYPED_TEST_SUITE(EventLoopContract, Loops);

// --- Posts and Quit ---

TYPED_TEST(EventLoopContract, PostFromAnotherThreadWakesARunningLoopAndRunsInOrderOnItsThread)
{
    auto& loop = this->loop;
    const auto loopThread = std::this_thread::get_id();
    std::vector<int> order;
    bool allOnLoopThread = true;
    // The loop is already waiting without a time limit when the posts arrive.
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (int i = 0; i < 3; ++i)
            loop.Post([&, i] {
                allOnLoopThread = allOnLoopThread && std::this_thread::get_id() == loopThread;
                order.push_back(i);
            });
        loop.Post([&] { loop.Quit(); });
    });
    const bool quitByPost = RunUntilQuit(loop);
    poster.join();
    EXPECT_TRUE(quitByPost);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(allOnLoopThread);
}

TYPED_TEST(EventLoopContract, PostsQueuedForADestroyedLoopNeverRun)
{
    bool ran = false;
    {
        TypeParam doomed;
        doomed.Post([&] { ran = true; });
    }
    PumpFor(this->loop, 30);
    EXPECT_FALSE(ran);
}

TYPED_TEST(EventLoopContract, QuitAskedBeforeTheLoopRunsEndsItOnceItRuns)
{
    this->loop.Quit();
    EXPECT_TRUE(RunUntilQuit(this->loop));
}

// --- Errors ---

TYPED_TEST(EventLoopContract, ErrorsEscapingCallbacksGoToTheHandlerAndTheLoopGoesOn)
{
    auto& loop = this->loop;
    SocketPair pair;
    pair.Send("x");
    const Registration watch = loop.WatchReadable(pair.Watched(), [&] {
        pair.Take();
        throw Exception("readable");
    });
    bool after = false;
    loop.Post([] { throw Exception("first"); });
    loop.Post([] { throw 42; });
    loop.Post([&] { after = true; });
    ASSERT_TRUE(PumpUntil(loop, [&] { return after && this->errors.size() == 3; }));
    std::sort(this->errors.begin(), this->errors.end());
    EXPECT_EQ(this->errors, (std::vector<std::string>{"Unknown error", "first", "readable"}));
}

TYPED_TEST(EventLoopContract, WithoutAHandlerAnErrorIsOneLineOnStandardError)
{
    TypeParam plain;
    bool after = false;
    testing::internal::CaptureStderr();
    plain.Post([] { throw Exception("boom"); });
    plain.Post([&] { after = true; });
    const bool ran = PumpUntil(plain, [&] { return after; });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "boom\n");
    EXPECT_TRUE(ran);
}

// --- Readable descriptors ---

TYPED_TEST(EventLoopContract, ReadableCallbackRepeatsWhileDataRemainAndStopsWithItsOwnRegistration)
{
    auto& loop = this->loop;
    SocketPair pair;
    for (const char* text : {"a", "b", "c"})
        pair.Send(text);
    std::string got;
    Registration watch;
    watch = loop.WatchReadable(pair.Watched(), [&] {
        got += pair.Take(); // one byte per call: the loop must call again for the rest
        if (got.size() == 3)
            watch.reset();
    });
    ASSERT_TRUE(PumpUntil(loop, [&] { return got.size() == 3; }));
    EXPECT_EQ(got, "abc");

    pair.Send("d");
    PumpFor(loop, 50);
    EXPECT_EQ(got, "abc");
}

TYPED_TEST(EventLoopContract, RegistrationDroppedInsideAnotherCallbackNeverRunsAgain)
{
    auto& loop = this->loop;
    // Both are readable in the same pass; whichever runs first drops the other, whose event
    // may already be on its way.
    SocketPair first, second;
    first.Send("1");
    second.Send("2");
    int firstCalls = 0, secondCalls = 0;
    Registration watchFirst, watchSecond;
    watchFirst = loop.WatchReadable(first.Watched(), [&] {
        ++firstCalls;
        first.Take();
        watchSecond.reset();
    });
    watchSecond = loop.WatchReadable(second.Watched(), [&] {
        ++secondCalls;
        second.Take();
        watchFirst.reset();
    });
    ASSERT_TRUE(PumpUntil(loop, [&] { return firstCalls + secondCalls > 0; }));
    first.Send("1");
    second.Send("2");
    PumpFor(loop, 50);
    EXPECT_EQ(firstCalls + secondCalls, 2) << "the survivor runs again, the dropped one never";
    EXPECT_TRUE(firstCalls == 0 || secondCalls == 0);
}

// A stream whose buffer is full is not writable; once the peer reads, the callback runs
// until the writer drops its registration.
TYPED_TEST(EventLoopContract, WritableCallbackWaitsForRoomAndStopsWithItsOwnRegistration)
{
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    const char chunk[4096] = {};
    while (::send(fds[0], chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
    }
    int calls = 0;
    Registration watch;
    watch = this->loop.WatchWritable(fds[0], [&] {
        ++calls;
        watch.reset();
    });
    PumpFor(this->loop, 50);
    EXPECT_EQ(calls, 0);
    char sink[65536];
    while (::recv(fds[1], sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    EXPECT_TRUE(PumpUntil(this->loop, [&] { return calls > 0; }));
    PumpFor(this->loop, 30);
    EXPECT_EQ(calls, 1);
    ::close(fds[0]);
    ::close(fds[1]);
}

// --- Timers ---

TYPED_TEST(EventLoopContract, TimerTicksEveryIntervalFirstAfterOneUntilDropped)
{
    auto& loop = this->loop;
    constexpr int kIntervalMs = 20;
    std::vector<double> tickMs;
    const auto start = Clock::now();
    Registration timer;
    timer = loop.StartTimer(kIntervalMs, [&] {
        tickMs.push_back(MsSince(start));
        if (tickMs.size() == 3)
            timer.reset();
    });
    ASSERT_TRUE(PumpUntil(loop, [&] { return tickMs.size() == 3; }));
    PumpFor(loop, 3 * kIntervalMs);
    ASSERT_EQ(tickMs.size(), 3u);
    // Lower bounds only, with room for coarse timers that fire a little early: a timer that
    // ticks at once, or keeps no interval, falls far below them.
    EXPECT_GE(tickMs[0], kIntervalMs * 0.75);
    EXPECT_GE(tickMs[2], 3 * kIntervalMs * 0.75);
}

// --- What only the epoll loop promises: Run and Quit ---

class EpollEventLoopTest : public ::testing::Test {
protected:
    std::vector<std::string> errors;
    EpollEventLoop loop{[this](const std::exception& error) { errors.push_back(error.what()); }};
};

TEST_F(EpollEventLoopTest, QuitFromACallbackLeavesLaterEventsPendingAndIsUsedUp)
{
    std::vector<int> order;
    loop.Post([&] {
        order.push_back(1);
        loop.Quit();
    });
    loop.Post([&] { order.push_back(2); });
    loop.Run();
    EXPECT_EQ(order, (std::vector<int>{1}));

    // The next run picks up the pending post, and runs until a quit of its own.
    loop.Post([&] {
        order.push_back(3);
        loop.Quit();
    });
    EXPECT_TRUE(RunUntilQuit(loop));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// --- Nested dispatch ---

TYPED_TEST(EventLoopContract, NestedDispatchReentersOnlyAReaderRegisteredReentrant)
{
    // The first run takes its byte (as the endpoint copies its datagram), then waits as a
    // send waiting for a host lookup does: only a reentrant reader gets "b" inside that wait.
    for (const bool reentrant : {false, true}) {
        SocketPair pair;
        pair.Send("a");
        pair.Send("b");
        int depth = 0, maxDepth = 0;
        std::string got;
        auto reader = [&] {
            maxDepth = std::max(maxDepth, ++depth);
            got += pair.Take();
            for (int i = 0; i < 5 && got == "a"; ++i)
                this->loop.ProcessEvents(5);
            --depth;
        };
        const Registration watch = reentrant ? this->loop.WatchReadableReentrant(pair.Watched(), reader)
                                             : this->loop.WatchReadable(pair.Watched(), reader);
        ASSERT_TRUE(PumpUntil(this->loop, [&] { return got.size() >= 2; }));
        EXPECT_EQ(maxDepth, reentrant ? 2 : 1);
        EXPECT_EQ(got, "ab");
    }
}

TEST_F(EpollEventLoopTest, NestedDispatchRunsOtherEventsButNeitherReentersNorSpinsOnARunningCallback)
{
    SocketPair pair;
    pair.Send("a");
    pair.Send("b");
    int depth = 0, maxDepth = 0;
    bool postRanNested = false;
    double nestedWaitMs = -1;
    std::string got;
    const Registration watch = loop.WatchReadable(pair.Watched(), [&] {
        maxDepth = std::max(maxDepth, ++depth);
        if (got.empty()) {
            // Waits as a host lookup does, with both datagrams still queued.
            bool posted = false;
            loop.Post([&] { posted = true; });
            for (int i = 0; i < 20 && !posted; ++i)
                loop.ProcessEvents(10);
            postRanNested = posted;
            // With the running descriptor still in the wait set, this wait would return at
            // once, over and over: a busy spin for the whole of a lookup.
            const auto start = Clock::now();
            loop.ProcessEvents(60);
            nestedWaitMs = MsSince(start);
        }
        got += pair.Take();
        --depth;
    });
    ASSERT_TRUE(PumpUntil(loop, [&] { return got.size() == 2; }));
    EXPECT_EQ(maxDepth, 1);
    EXPECT_TRUE(postRanNested);
    EXPECT_GE(nestedWaitMs, 45);
    EXPECT_EQ(got, "ab") << "the descriptor is watched again once the callback returned";
}

TEST_F(EpollEventLoopTest, TimerWaitingNestedPastItsIntervalIsNotReenteredAndTicksOnAfterwards)
{
    int depth = 0, maxDepth = 0, ticks = 0;
    const Registration timer = loop.StartTimer(10, [&] {
        maxDepth = std::max(maxDepth, ++depth);
        if (++ticks == 1)
            PumpFor(loop, 50);
        --depth;
    });
    ASSERT_TRUE(PumpUntil(loop, [&] { return ticks >= 3; }));
    EXPECT_EQ(maxDepth, 1);
}

TEST_F(EpollEventLoopTest, RegistrationDroppedWhileItsCallbackWaitsNestedStopsAtOnce)
{
    // A nested handler drops the registration whose callback is further up the stack; that
    // callback runs to its end, and nothing of it is called or woken again.
    SocketPair pair;
    pair.Send("a");
    pair.Send("b");
    int calls = 0;
    Registration watch;
    watch = loop.WatchReadable(pair.Watched(), [&] {
        ++calls;
        loop.Post([&] { watch.reset(); });
        PumpFor(loop, 30);
        pair.Take();
    });
    ASSERT_TRUE(PumpUntil(loop, [&] { return calls == 1 && !watch; }));
    PumpFor(loop, 30);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(errors.empty());
}

TEST_F(EpollEventLoopTest, ReentrantReaderNestedInItsOwnWaitKeepsThePassBoundAndItsCallback)
{
    // Asking again after every run, the reader runs nested in its first run's wait, yet a
    // post gets in within the pass bound; the post drops the registration, and the outer run
    // goes on with its callback whole (the sanitizers see to that).
    int calls = 0;
    std::string outerSaw;
    SocketPair pair;
    Registration watch;
    watch = loop.WatchReadableReentrant(pair.Watched(), [&, tag = std::string("captures")] {
        if (watch)
            loop.NotifyAgain(*watch);
        if (++calls > 1)
            return;
        loop.Post([&] { watch.reset(); });
        for (int pass = 0; pass < EpollEventLoop::kAgainPasses + 2 && watch; ++pass)
            loop.ProcessEvents(0);
        outerSaw = tag;
    });
    loop.NotifyAgain(*watch);
    loop.ProcessEvents(0);
    EXPECT_FALSE(watch);
    EXPECT_TRUE(calls >= 2 && calls <= EpollEventLoop::kAgainPasses + 1) << calls;
    EXPECT_EQ(outerSaw, "captures");
}

// --- Registrations ---

TEST_F(EpollEventLoopTest, RegistrationOutlivingTheLoopIsDroppedHarmlessly)
{
    // Under the sanitizers, a registration that reached into the freed loop is reported.
    SocketPair pair;
    Registration watch;
    {
        EpollEventLoop shortLived;
        watch = shortLived.WatchReadable(pair.Watched(), [] {});
    }
    watch.reset();
    SUCCEED();
}

// --- Calling a reader again without a wait ---

TEST_F(EpollEventLoopTest, ReaderAskingAgainRunsNextPassEvenWithNothingReadable)
{
    // The reader must cope with an empty descriptor; asking twice before the pass runs it
    // once; a registration dropped meanwhile is not run.
    SocketPair pair, other;
    int calls = 0;
    Registration watch = loop.WatchReadable(pair.Watched(), [&] { ++calls; });
    loop.NotifyAgain(*watch);
    loop.NotifyAgain(*watch);
    loop.ProcessEvents(0);
    EXPECT_EQ(calls, 1);
    loop.ProcessEvents(0);
    EXPECT_EQ(calls, 1) << "once asked, once run";

    Registration foreign = EpollEventLoop().WatchReadable(other.Watched(), [] {});
    loop.NotifyAgain(*foreign); // another loop's registration is ignored
    loop.NotifyAgain(*watch);
    watch.reset();
    loop.ProcessEvents(0);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(errors.empty());
}

TEST_F(EpollEventLoopTest, ReaderAlwaysAskingAgainStillLetsOtherEventsIn)
{
    // A flood: the reader asks again after every call. Other descriptors and posts must get
    // their turn within the bounded run of passes served without a wait.
    SocketPair flooded, quiet;
    int floodCalls = 0, quietCalls = 0, postsRun = 0;
    Registration floodWatch;
    floodWatch = loop.WatchReadable(flooded.Watched(), [&] {
        ++floodCalls;
        loop.NotifyAgain(*floodWatch);
    });
    const Registration quietWatch = loop.WatchReadable(quiet.Watched(), [&] {
        ++quietCalls;
        quiet.Take();
    });
    loop.NotifyAgain(*floodWatch);
    quiet.Send("q");
    loop.Post([&] { ++postsRun; });
    for (int pass = 0; pass < EpollEventLoop::kAgainPasses + 2 && quietCalls == 0; ++pass)
        loop.ProcessEvents(0);
    EXPECT_EQ(quietCalls, 1);
    EXPECT_EQ(postsRun, 1);
    EXPECT_GE(floodCalls, 1);
    EXPECT_LE(floodCalls, EpollEventLoop::kAgainPasses + 1);
}

TEST_F(EpollEventLoopTest, DescriptorTheSystemCannotWatchIsRefused)
{
    SocketPair pair;
    const Registration watch = loop.WatchReadable(pair.Watched(), [] {});
    EXPECT_THROW(loop.WatchReadable(pair.Watched(), [] {}), Exception) << "already watched";
    EXPECT_THROW(loop.WatchReadable(-1, [] {}), Exception);
}

} // namespace
