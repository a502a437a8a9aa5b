// The integer rule that reads scores and reported points.
#include <gtest/gtest.h>

#include "platform/exception.h"
#include "server/registry/integer_text.h"

using namespace lobby;

namespace {

using namespace std::string_literals;

TEST(IntegerText, DecimalFormsWithinTheSignedRange)
{
    EXPECT_EQ(TryStrToInt("0"), 0);
    EXPECT_EQ(TryStrToInt("120"), 120);
    EXPECT_EQ(TryStrToInt("+7"), 7);
    EXPECT_EQ(TryStrToInt("-5"), -5);
    EXPECT_EQ(TryStrToInt("   42"), 42);
    EXPECT_EQ(TryStrToInt("0000000000000000009"), 9);
    EXPECT_EQ(TryStrToInt("2147483647"), 2147483647);
    EXPECT_EQ(TryStrToInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(TryStrToInt("-0"), 0);
}

TEST(IntegerText, HexadecimalFormsReadAboveSevenFsAsNegative)
{
    EXPECT_EQ(TryStrToInt("$A"), 10);
    EXPECT_EQ(TryStrToInt("xff"), 255);
    EXPECT_EQ(TryStrToInt("X10"), 16);
    EXPECT_EQ(TryStrToInt("0x1F"), 31);
    EXPECT_EQ(TryStrToInt("0XaB"), 171);
    EXPECT_EQ(TryStrToInt("  $0000007FFFFFFF"), 2147483647);
    EXPECT_EQ(TryStrToInt("$80000000"), INT32_MIN);
    EXPECT_EQ(TryStrToInt("$FFFFFFFF"), -1);
}

TEST(IntegerText, NulEndsTheText)
{
    EXPECT_EQ(TryStrToInt("12\0abc"s), 12);
    EXPECT_EQ(TryStrToInt("$1F\0 "s), 31);
    EXPECT_FALSE(TryStrToInt("\0" "12"s));
}

TEST(IntegerText, EverythingElseIsNotANumber)
{
    for (const std::string text : {"", " ", "   ", "5 ", " 5 ", "+", "-", "--5", "+-5", "- 5", "1e3",
                                   "2147483648", "-2147483649", "99999999999999999999", "$",
                                   "0x", "x", "$100000000", "$G", "-$A", "+0x1", "00x5", "0x-1",
                                   "\t5", "5\r", "12abc", "\xB9"}) {
        EXPECT_FALSE(TryStrToInt(text)) << '"' << text << '"';
    }
}

TEST(IntegerText, TheErrorQuotesTheWholeText)
{
    try {
        StrToInt("12 ");
        FAIL() << "no error";
    } catch (const EConvertError& error) {
        EXPECT_EQ(error.Message(), "'12 ' is not a valid integer value");
    }
    try {
        StrToInt("");
        FAIL() << "no error";
    } catch (const EConvertError& error) {
        EXPECT_EQ(error.Message(), "'' is not a valid integer value");
    }
}

TEST(IntegerText, ScoresAreWrittenAsPlainDecimal)
{
    EXPECT_EQ(IntToStr(0), "0");
    EXPECT_EQ(IntToStr(-5), "-5");
    EXPECT_EQ(IntToStr(1234567), "1234567");
    EXPECT_EQ(IntToStr(INT32_MIN), "-2147483648");
}

} // namespace
