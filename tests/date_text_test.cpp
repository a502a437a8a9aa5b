// Date and time texts under injected regional settings, and the reading of those settings.
#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/regional_settings.h"
#include "server/date_text.h"

namespace {

RegionalSettings PtBr() { return {"%d/%m/%Y", "%H:%M:%S", "", "", ""}; }
RegionalSettings EnUs() { return {"%m/%d/%Y", "%r", "%I:%M:%S %p", "AM", "PM"}; }

RegionalSettings WithDate(std::string picture)
{
    RegionalSettings settings = PtBr();
    settings.shortDatePicture = std::move(picture);
    return settings;
}

RegionalSettings WithTime(std::string picture, std::string am = "AM", std::string pm = "PM")
{
    RegionalSettings settings = PtBr();
    settings.timePicture = std::move(picture);
    settings.amDesignator = std::move(am);
    settings.pmDesignator = std::move(pm);
    return settings;
}

LocalDateTime Day(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    return LocalDateTime{year, month, day, hour, minute, second, 0};
}

// Puts the process's LC_TIME and environment back as they were, whatever a test changed.
class LocaleGuard {
public:
    LocaleGuard() : saved_(std::setlocale(LC_TIME, nullptr))
    {
        if (const char* all = std::getenv("LC_ALL"))
            savedAll_ = all;
    }
    ~LocaleGuard()
    {
        if (savedAll_)
            setenv("LC_ALL", savedAll_->c_str(), 1);
        else
            unsetenv("LC_ALL");
        std::setlocale(LC_TIME, saved_.c_str());
    }

private:
    std::string saved_;
    std::optional<std::string> savedAll_;
};

} // namespace

TEST(DateText, NamesUnderCommonPictures)
{
    const LocalDateTime dec6 = Day(2026, 12, 6);
    EXPECT_EQ(DateText(PtBr(), dec6), "06-12-2026");
    EXPECT_EQ(DateText(PtBr(), Day(2027, 1, 1)), "01-01-2027");
    EXPECT_EQ(DateText(EnUs(), dec6), "12-06-2026");
    EXPECT_EQ(DateText(WithDate("%m/%d/%y"), dec6), "12-06-26"); // the C locale's picture
    EXPECT_EQ(DateText(WithDate("%d.%m.%Y"), dec6), "06-12-2026");
    // Year first: the fixed positions fall on digits, which are lost. Documented behaviour.
    EXPECT_EQ(DateText(WithDate("%Y-%m-%d"), dec6), "20-6--2-06");
    EXPECT_EQ(DateText(WithDate("%Y/%m/%d"), dec6), "20-6--2-06");
}

TEST(DateText, NoPathSeparatorOrUnfitByteSurvives)
{
    // Unpadded month and day leave "/" where the fixed positions miss it.
    EXPECT_EQ(DateText(WithDate("%-m/%-d/%Y"), Day(2026, 12, 6)), "12-6--026");
    EXPECT_EQ(DateText(WithDate("%-m/%-d/%Y"), Day(2026, 2, 1)), "2---2-26");
    EXPECT_EQ(DateText(WithDate("%d%m%Y/x\\:*?\"<>|%t%n"), Day(2026, 12, 6)), "06-22-26-x----------");
    EXPECT_EQ(DateText(WithDate(std::string("%d%m%Y\0\x7f", 8)), Day(2026, 12, 6)), "06-22-26--");
    // Bytes above 0x7F are kept as they are.
    EXPECT_EQ(DateText(WithDate("%d/%m/%Y\xE9"), Day(2026, 12, 6)), "06-12-2026\xE9");
}

TEST(DateText, ShortAndEmptyPictures)
{
    EXPECT_EQ(DateText(WithDate("%d"), Day(2026, 12, 6)), "06");
    EXPECT_EQ(DateText(WithDate("%Y"), Day(2026, 12, 6)), "20-6");
    EXPECT_EQ(DateText(WithDate(""), Day(2026, 12, 6)), "06-12-2026");
}

TEST(DateText, RendersNumericConversionsWithFlagsAndWidths)
{
    const LocalDateTime day = Day(2026, 3, 5);
    EXPECT_EQ(RenderDatePicture("%d|%e|%-d|%_m|%0e|%y|%C|%5Y|%%|%", day), "05| 5|5| 3|05|26|20|02026|%|%");
    EXPECT_EQ(RenderDatePicture("%D %F %Od %Ey", day), "03/05/26 2026-03-05 05 26");
    EXPECT_EQ(RenderDatePicture("%y", Day(2000, 1, 1)), "00");
}

TEST(DateText, PassesOtherConversionsToTheCLibrary)
{
    LocaleGuard guard;
    std::setlocale(LC_TIME, "C");
    EXPECT_EQ(RenderDatePicture("%b %j", Day(2024, 3, 1)), "Mar 061"); // leap year
    EXPECT_EQ(RenderDatePicture("%j", Day(2026, 12, 31)), "365");
}

TEST(DateText, TimeTextOnTwentyFourHourClocks)
{
    EXPECT_EQ(TimeText(PtBr(), Day(2026, 12, 6, 9, 5, 7)), "09:05:07");
    EXPECT_EQ(TimeText(PtBr(), Day(2026, 12, 6, 0, 0, 0)), "00:00:00");
    EXPECT_EQ(TimeText(PtBr(), Day(2026, 12, 6, 23, 59, 59)), "23:59:59");
    EXPECT_EQ(TimeText(WithTime("%k:%M:%S"), Day(2026, 12, 6, 9, 5, 7)), "9:05:07");
    EXPECT_EQ(TimeText(WithTime("%-H.%M.%S"), Day(2026, 12, 6, 9, 5, 7)), "9.05.07");
    EXPECT_EQ(TimeText(WithTime("%T"), Day(2026, 12, 6, 9, 5, 7)), "09:05:07");
}

TEST(DateText, TimeTextOnTwelveHourClocks)
{
    struct Case {
        RegionalSettings settings;
        int hour;
        const char* expected;
    };
    const Case cases[] = {
        {EnUs(), 0, "12:04:05 AM"},
        {EnUs(), 11, "11:04:05 AM"},
        {EnUs(), 12, "12:04:05 PM"},
        {EnUs(), 13, "01:04:05 PM"},
        {WithTime("%l:%M:%S %p"), 13, "1:04:05 PM"},
        {WithTime("%p %I:%M:%S", "\xEC\x98\xA4\xEC\xA0\x84", "\xEC\x98\xA4\xED\x9B\x84"), 13,
         "\xEC\x98\xA4\xED\x9B\x84 01:04:05"},
        {WithTime("%I:%M:%S %p", "", ""), 9, "09:04:05"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TimeText(c.settings, Day(2026, 12, 6, c.hour, 4, 5)), c.expected) << c.settings.timePicture << " " << c.hour;
}

TEST(RegionalSettings, DerivesTimeTextSettingsFromThePicture)
{
    const TimeTextSettings ptBr = DeriveTimeTextSettings(PtBr());
    EXPECT_FALSE(ptBr.twelveHour);
    EXPECT_TRUE(ptBr.leadingZero);
    EXPECT_EQ(ptBr.separator, ":");

    const TimeTextSettings korean = DeriveTimeTextSettings(WithTime("%p %_I\xEC\x8B\x9C %M"));
    EXPECT_TRUE(korean.twelveHour);
    EXPECT_FALSE(korean.leadingZero);
    EXPECT_TRUE(korean.designatorFirst);
    EXPECT_EQ(korean.separator, "\xEC\x8B\x9C ");

    // A 12-hour picture naming "%r" itself, or no hour at all, keeps the defaults.
    RegionalSettings looping = EnUs();
    looping.timePicture12 = "%r";
    for (const RegionalSettings& s : {looping, WithTime(""), WithTime("%S")}) {
        const TimeTextSettings derived = DeriveTimeTextSettings(s);
        EXPECT_FALSE(derived.twelveHour);
        EXPECT_EQ(derived.separator, ":");
    }
}

TEST(RegionalSettings, ReadsTheCLocale)
{
    LocaleGuard guard;
    setenv("LC_ALL", "C", 1);
    const RegionalSettings settings = ReadSystemRegionalSettings();
    EXPECT_EQ(settings.shortDatePicture, "%m/%d/%y");
    EXPECT_EQ(settings.timePicture, "%H:%M:%S");
    EXPECT_EQ(settings.timePicture12, "%I:%M:%S %p");
    EXPECT_EQ(settings.amDesignator, "AM");
    EXPECT_EQ(settings.pmDesignator, "PM");
}
