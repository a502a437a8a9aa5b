// QtEventLoop: the contract the endpoint and the lobby rely on (posts from other threads,
// level-triggered readable callbacks, errors that must not escape into Qt, registrations
// that may be dropped from inside their own callback). Every wait is bounded.
#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/qt_event_loop.h"
#include "platform/exception.h"
#include "support/loopback.h"

namespace {

using test_support::PumpFor;
using test_support::PumpUntil;

class QtEventLoopTest : public ::testing::Test {
protected:
    std::vector<std::string> errors;
    QtEventLoop loop{[this](const std::exception& error) { errors.push_back(error.what()); }};
};

TEST_F(QtEventLoopTest, PostFromAnotherThreadRunsInOrderOnTheLoopThread)
{
    const auto loopThread = std::this_thread::get_id();
    std::vector<int> order;
    bool allOnLoopThread = true;
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i)
            loop.Post([&, i] {
                allOnLoopThread = allOnLoopThread && std::this_thread::get_id() == loopThread;
                order.push_back(i);
            });
    });
    poster.join();
    ASSERT_TRUE(PumpUntil(loop, [&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(allOnLoopThread);
}

TEST_F(QtEventLoopTest, PostsQueuedForADestroyedLoopNeverRun)
{
    bool ran = false;
    {
        QtEventLoop doomed;
        doomed.Post([&] { ran = true; });
    }
    PumpFor(loop, 30);
    EXPECT_FALSE(ran);
}

TEST_F(QtEventLoopTest, ErrorsEscapingCallbacksGoToTheHandlerAndTheLoopGoesOn)
{
    bool after = false;
    loop.Post([] { throw Exception("first"); });
    loop.Post([] { throw 42; });
    loop.Post([&] { after = true; });
    ASSERT_TRUE(PumpUntil(loop, [&] { return after; }));
    EXPECT_EQ(errors, (std::vector<std::string>{"first", "Unknown error"}));
}

TEST_F(QtEventLoopTest, ReadableCallbackRepeatsWhileDataRemainAndStopsWithItsRegistration)
{
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
    for (const char* text : {"a", "b", "c"})
        ASSERT_EQ(::write(fds[1], text, 1), 1);

    std::string got;
    std::unique_ptr<EventLoop::Registration> watch;
    watch = loop.WatchReadable(fds[0], [&] {
        char c;
        if (::read(fds[0], &c, 1) == 1)
            got += c;
        if (got.size() == 3)
            watch.reset(); // dropped from inside its own callback
    });
    ASSERT_TRUE(PumpUntil(loop, [&] { return got.size() == 3; }));
    EXPECT_EQ(got, "abc");

    ASSERT_EQ(::write(fds[1], "d", 1), 1);
    PumpFor(loop, 50);
    EXPECT_EQ(got, "abc");
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(QtEventLoopTest, TimerTicksUntilItsRegistrationIsDropped)
{
    int ticks = 0;
    std::unique_ptr<EventLoop::Registration> timer;
    timer = loop.StartTimer(1, [&] {
        if (++ticks == 3)
            timer.reset();
    });
    ASSERT_TRUE(PumpUntil(loop, [&] { return ticks == 3; }));
    PumpFor(loop, 30);
    EXPECT_EQ(ticks, 3);
}

TEST_F(QtEventLoopTest, QuitAskedBeforeTheLoopRunsEndsItOnceItRuns)
{
    // A guard ends the loop with another code if Quit is lost, so the test cannot hang.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(5000);
    loop.Quit();
    EXPECT_EQ(QCoreApplication::exec(), 0);
}

} // namespace
