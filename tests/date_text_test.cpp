// Date and time texts under injected regional settings, and what the time picture tells.
#include <string>

#include <gtest/gtest.h>

#include "platform/regional_settings.h"
#include "server/traffic_log/date_text.h"

using namespace lobby;

namespace {

RegionalSettings PtBr() { return {"%d/%m/%Y", "%H:%M:%S", "", "", ""}; }
RegionalSettings EnUs() { return {"%m/%d/%Y", "%r", "%I:%M:%S %p", "AM", "PM"}; }
RegionalSettings Date(std::string picture) { return {std::move(picture), "%H:%M:%S", "", "", ""}; }
RegionalSettings Time(std::string picture, std::string am = "AM", std::string pm = "PM")
{
    return {"%d/%m/%Y", std::move(picture), "", std::move(am), std::move(pm)};
}

LocalDateTime At(int month, int day, int hour = 0, int year = 2026) { return {year, month, day, hour, 4, 5, 0}; }

} // namespace

TEST(DateText, NamesUnderCommonPictures)
{
    EXPECT_EQ(DateText(PtBr(), At(12, 6)), "06-12-2026");
    EXPECT_EQ(DateText(PtBr(), At(1, 1, 0, 2027)), "01-01-2027");
    EXPECT_EQ(DateText(EnUs(), At(12, 6)), "12-06-2026");
    EXPECT_EQ(DateText(Date("%m/%d/%y"), At(12, 6)), "12-06-26"); // the C locale's picture
    // Year first: the 3rd and 6th characters are digits and stay, so every day keeps its own name.
    EXPECT_EQ(DateText(Date("%Y-%m-%d"), At(12, 6)), "2026-12-06");
    // Too short for one or both positions; an empty picture falls back to day-month-year.
    EXPECT_EQ(DateText(Date("%d"), At(12, 6)), "06");
    EXPECT_EQ(DateText(Date("%Y"), At(12, 6)), "2026");
    EXPECT_EQ(DateText(Date(""), At(12, 6)), "06-12-2026");
}

TEST(DateText, NoPathSeparatorOrUnfitByteSurvives)
{
    // Unpadded month and day leave "/" where the fixed positions miss it.
    EXPECT_EQ(DateText(Date("%-m/%-d/%Y"), At(12, 6)), "12-6-2026");
    EXPECT_EQ(DateText(Date("%-m/%-d/%Y"), At(2, 1)), "2-1-2026");
    EXPECT_EQ(DateText(Date("%d%m%Y/x\\:*?\"<>|%t%n"), At(12, 6)), "06122026-x----------");
    EXPECT_EQ(DateText(Date(std::string("%d%m%Y\0\x7f", 8)), At(12, 6)), "06122026--");
    EXPECT_EQ(DateText(Date("%d/%m/%Y\xE9"), At(12, 6)), "06-12-2026\xE9"); // 8-bit bytes kept
}

TEST(DateText, RendersConversionsWithFlagsAndWidths)
{
    EXPECT_EQ(RenderDatePicture("%d|%e|%-d|%_m|%0e|%y|%C|%5Y|%%|%", At(3, 5)), "05| 5|5| 3|05|26|20|02026|%|%");
    EXPECT_EQ(RenderDatePicture("%D %F %Od %Ey", At(3, 5)), "03/05/26 2026-03-05 05 26");
    EXPECT_EQ(RenderDatePicture("%y", At(1, 1, 0, 2000)), "00");
    // Through the C library: the day of the year must count the leap day.
    EXPECT_EQ(RenderDatePicture("%j", At(3, 1, 0, 2024)), "061");
    EXPECT_EQ(RenderDatePicture("%j", At(12, 31)), "365");
}

TEST(DateText, TimeTexts)
{
    const std::string am = "\xEC\x98\xA4\xEC\xA0\x84", pm = "\xEC\x98\xA4\xED\x9B\x84";
    struct Case {
        RegionalSettings settings;
        int hour;
        std::string expected;
    };
    const Case cases[] = {
        {PtBr(), 9, "09:04:05"},
        {PtBr(), 0, "00:04:05"},
        {Time("%T"), 9, "09:04:05"},
        {Time("%k:%M:%S"), 9, "9:04:05"},
        {Time("%-H.%M.%S"), 9, "9.04.05"},
        {EnUs(), 0, "12:04:05 AM"},
        {EnUs(), 11, "11:04:05 AM"},
        {EnUs(), 12, "12:04:05 PM"},
        {EnUs(), 13, "01:04:05 PM"},
        {Time("%l:%M:%S %p"), 13, "1:04:05 PM"},
        {Time("%p %I:%M:%S", am, pm), 13, pm + " 01:04:05"},
        {Time("%I:%M:%S %p", "", ""), 9, "09:04:05"},
        {Time("%p %_I\xEC\x8B\x9C %M"), 13, "PM 1\xEC\x8B\x9C 04\xEC\x8B\x9C 05"}, // separator as written
        // A 12-hour picture naming "%r" itself, or no hour at all: 24-hour defaults.
        {RegionalSettings{"", "%r", "%r", "AM", "PM"}, 13, "13:04:05"},
        {Time("%S"), 13, "13:04:05"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TimeText(c.settings, At(12, 6, c.hour)), c.expected) << c.settings.timePicture << " at " << c.hour;
}
