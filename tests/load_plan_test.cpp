// What the load generator and the bare comparison server agree on: client addresses, the
// request template, latency percentiles and numeric options. A fault here would put two
// clients on one address or misreport the benchmark's figures without any error.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench/loadgen/load_plan.h"

namespace {

using namespace load_plan;

TEST(LoadPlan, ClientAddressesAreDistinctLoopbackHostsAvoidingNetworkAndBroadcastBytes)
{
    EXPECT_EQ(ClientAddress(0), "127.0.1.1");
    EXPECT_EQ(ClientAddress(253), "127.0.1.254");
    EXPECT_EQ(ClientAddress(254), "127.0.2.1");
    EXPECT_EQ(ClientAddress(kMaxClients - 1), "127.0.254.254");
    EXPECT_THROW(ClientAddress(-1), std::out_of_range);
    EXPECT_THROW(ClientAddress(kMaxClients), std::out_of_range);

    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i)
        seen.insert(ClientAddress(i));
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(LoadPlan, TemplateTakesTheIndexForEveryMarkAndKeepsOtherBytes)
{
    EXPECT_EQ(SubstituteIndex("p{i}|pw{i}|fc+|", 42), "p42|pw42|fc+|");
    EXPECT_EQ(SubstituteIndex("p{i}|x|msg|hello", 0), "p0|x|msg|hello");
    EXPECT_EQ(SubstituteIndex("no mark|{j}|{|}|{i", 7), "no mark|{j}|{|}|{i");
    EXPECT_EQ(SubstituteIndex("{i}{i}", 12), "1212");
    EXPECT_EQ(SubstituteIndex("", 3), "");
    EXPECT_EQ(SubstituteIndex(std::string_view("a\0{i}", 5), 9), std::string("a\0" "9", 3));
    EXPECT_EQ(SubstituteSign("p1|pw|scj|{sign}10", false), "p1|pw|scj|10");
    EXPECT_EQ(SubstituteSign("p1|pw|scj|{sign}10", true), "p1|pw|scj|-10");
    EXPECT_EQ(SubstituteSign("{sign}{sign}|{sig}", true), "--|{sig}");
    EXPECT_EQ(SubstituteNumber("x{n}|pw|msg|oi {n}", 17), "x17|pw|msg|oi 17");
    EXPECT_EQ(SubstituteNumber("{i}|{m}", 3), "{i}|{m}");
}

// A reply is matched to its request by the number it ends with (a chat line repeats it).
TEST(LoadPlan, TheNumberAReplyEndsWith)
{
    EXPECT_EQ(TrailingNumber("msg|p1 disse: oi 1234"), 1234);
    EXPECT_EQ(TrailingNumber("0"), 0);
    for (const char* none : {"", "msg|p1 disse: oi", "12 x", "1234567890123456789"})
        EXPECT_FALSE(TrailingNumber(none)) << none;
}

TEST(LoadPlan, PercentilesTakeTheNearestRank)
{
    std::vector<int> thousand(1000);
    for (int i = 0; i < 1000; ++i)
        thousand[static_cast<std::size_t>(i)] = i + 1; // 1..1000, sorted
    EXPECT_EQ(PercentileOfSorted(thousand, 50), 500);
    EXPECT_EQ(PercentileOfSorted(thousand, 99), 990);
    EXPECT_EQ(PercentileOfSorted(thousand, 99.9), 999);
    EXPECT_EQ(PercentileOfSorted(thousand, 100), 1000);
    EXPECT_EQ(PercentileOfSorted(thousand, 0), 1);
    EXPECT_EQ(PercentileOfSorted(thousand, 150), 1000);

    const std::vector<int> few{10, 20, 30};
    EXPECT_EQ(PercentileOfSorted(few, 50), 20);
    EXPECT_EQ(PercentileOfSorted(few, 99.9), 30);
    EXPECT_EQ(PercentileOfSorted(few, 33.4), 20);
    EXPECT_EQ(PercentileOfSorted(std::vector<int>{5}, 99.9), 5);
    EXPECT_FALSE(PercentileOfSorted(std::vector<int>{}, 50).has_value());
}

TEST(LoadPlan, WholeNumberOptionsRefuseAnythingButDigitsInRange)
{
    EXPECT_EQ(ParseWhole("--count", "100000", 1, 1000000), 100000);
    EXPECT_EQ(ParseWhole("--x", "-5", -10, 10), -5);
    EXPECT_EQ(ParseWhole("--since", "1750000000123456789", 0, 4000000000000000000LL), 1750000000123456789LL);
    for (const char* bad : {"", "-", "12a", " 1", "1.5", "0", "1000001", "99999999999999999999"})
        EXPECT_THROW(ParseWhole("--count", bad, 1, 1000000), std::invalid_argument) << bad;
    try {
        ParseWhole("--window", "x", 1, 9);
        FAIL() << "no error";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("--window"), std::string::npos);
    }
}

TEST(LoadPlan, FlagsStandAloneAndEveryOtherOptionTakesTheNextWord)
{
    bool batched = false, probe = false;
    std::vector<std::string> values;
    const auto parse = [&](std::vector<const char*> words) {
        words.insert(words.begin(), "program");
        ForEachOption(static_cast<int>(words.size()), const_cast<char**>(words.data()),
                      {{"--batched", &batched}, {"--probe", &probe}},
                      [&](std::string_view name, std::string_view value) { values.push_back(std::string(name) + "=" + std::string(value)); });
    };
    parse({"--port", "9", "--batched", "--dir", "--probe"}); // a flag's name as a value is a value
    EXPECT_TRUE(batched);
    EXPECT_FALSE(probe);
    EXPECT_EQ(values, (std::vector<std::string>{"--port=9", "--dir=--probe"}));
    EXPECT_THROW(parse({"--batched", "--seconds"}), std::invalid_argument);
}

} // namespace
