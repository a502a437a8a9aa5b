// The Windows implementations of platform/'s interfaces, under Wine.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/monotonic_clock.h"
#include "platform/win32/windows_reason.h"
#include "platform/worker_thread.h"

using namespace lobby;

namespace {

TEST(WindowsReason, GivesTheLobbysKindsAndNumbers)
{
    using Kind = SystemReason::Kind;
    struct Case {
        DWORD code;
        Kind kind;
        int inOutCode;
    };
    for (const Case& c : {Case{ERROR_FILE_NOT_FOUND, Kind::kNotFound, 2}, Case{ERROR_PATH_NOT_FOUND, Kind::kNotFound, 3},
                          Case{ERROR_ACCESS_DENIED, Kind::kOther, 5}, Case{ERROR_SHARING_VIOLATION, Kind::kHeldByAnother, 32},
                          Case{ERROR_FILE_EXISTS, Kind::kAlreadyExists, 1080}, Case{ERROR_DISK_FULL, Kind::kOther, 101}}) {
        const SystemReason reason = win32::ReasonFromWindows(c.code);
        EXPECT_EQ(reason.kind, c.kind) << c.code;
        EXPECT_EQ(reason.inOutCode, c.inOutCode) << c.code;
        EXPECT_FALSE(reason.text.empty()) << c.code;
    }
    EXPECT_FALSE(win32::ReasonFromWindows(ERROR_SUCCESS).Failed());
}

TEST(WindowsTime, LocalTimeAtAMomentAndTheClocks)
{
    // 1971-07-01 12:00 UTC, a Thursday: July 1st or 2nd in every zone.
    const std::optional<LocalDateTime> moment = LocalTimeAt(47217600);
    ASSERT_TRUE(moment);
    EXPECT_EQ(moment->year, 1971);
    EXPECT_EQ(moment->month, 7);
    EXPECT_EQ(moment->weekday, (moment->day - 1 + 4) % 7);
    EXPECT_FALSE(LocalTimeAt(INT64_MAX));
    EXPECT_GE(SystemClock().Now().year, 2024);

    const SystemMonotonicClock monotonic;
    const std::int64_t before = monotonic.NowMs();
    EXPECT_GE(monotonic.NowMs(), before);
    EXPECT_GE(ThisThreadCpuNanoseconds(), 0);
}

} // namespace
