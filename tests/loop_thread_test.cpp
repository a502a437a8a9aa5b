// In debug builds every entry of a loop but Post checks that it is called on the loop's
// thread: a worker that calls one ends the process at once, naming the entry.
#include <gtest/gtest.h>
#include <thread>

#include "app/qt_event_loop.h"
#include "platform/linux/epoll_event_loop.h"

using namespace lobby;

namespace {

template <typename Loop>
class LoopThreadCheck : public ::testing::Test {};

using Loops = ::testing::Types<QtEventLoop, EpollEventLoop>;
TYPED_TEST_SUITE(LoopThreadCheck, Loops);

TYPED_TEST(LoopThreadCheck, AnEntryCalledFromAnotherThreadEndsTheProcessNamingIt)
{
#ifdef NDEBUG
    GTEST_SKIP() << "the check is made in debug builds only";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TypeParam loop;
    EXPECT_DEATH(std::thread([&] { loop.Quit(); }).join(), "::Quit: called on a thread other than its event loop's");
#endif
}

} // namespace
