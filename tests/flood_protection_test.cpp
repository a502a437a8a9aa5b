// Flood protection: the per-address request, registration and send limits (the guard alone,
// then in the request handler), the operator's summary a minute, the errors requests cause
// (a few shown a minute), the bound on what the guard remembers, the registry's capacity,
// and the options that set them.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "server/flood_guard.h"
#include "support/client_texts.h"
#include "support/form_under_test.h"

namespace {

using namespace test_support;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

// Requests admitted out of count sent from source at nowMs.
int Admitted(FloodGuard& guard, const std::string& source, int count, std::int64_t nowMs)
{
    int admitted = 0;
    for (int i = 0; i < count; ++i)
        admitted += guard.AdmitRequest(source, nowMs) ? 1 : 0;
    return admitted;
}

TEST(FloodGuard, RequestsBurstToTwiceTheRateThenFollowTheRate)
{
    FloodGuard guard(FloodLimits{.requestsPerSecond = 50, .registrationsPerHour = 20, .maxAddresses = 1000});
    EXPECT_EQ(Admitted(guard, "10.0.0.1", 150, 0), 100);
    EXPECT_EQ(Admitted(guard, "10.0.0.1", 5, 19), 0); // 50 a second: one every 20 ms
    EXPECT_EQ(Admitted(guard, "10.0.0.1", 5, 20), 1);
    EXPECT_EQ(Admitted(guard, "10.0.0.1", 100, 1020), 50);
    // A long silence refills to the burst, never beyond it.
    EXPECT_EQ(Admitted(guard, "10.0.0.1", 500, 3'600'000), 100);
    // Each address has its own bucket.
    EXPECT_EQ(Admitted(guard, "10.0.0.2", 150, 3'600'000), 100);
    // A clock that steps back refills nothing and breaks nothing.
    EXPECT_EQ(Admitted(guard, "10.0.0.1", 10, 0), 0);
    EXPECT_EQ(guard.DroppedTotal(), 50u + 5 + 4 + 50 + 400 + 50 + 10);
}

TEST(FloodGuard, RegistrationsComeTwentyAtOnceThenOneEveryThreeMinutes)
{
    FloodGuard guard(FloodLimits{.requestsPerSecond = 50, .registrationsPerHour = 20, .maxAddresses = 1000});
    int registered = 0;
    for (int i = 0; i < 25; ++i)
        registered += guard.AdmitRegistration("10.0.0.1", 0) ? 1 : 0;
    EXPECT_EQ(registered, 20);
    EXPECT_FALSE(guard.AdmitRegistration("10.0.0.1", 179'999));
    EXPECT_TRUE(guard.AdmitRegistration("10.0.0.1", 180'000));
    EXPECT_FALSE(guard.AdmitRegistration("10.0.0.1", 180'000));
    EXPECT_TRUE(guard.AdmitRegistration("10.0.0.2", 180'000));
}

TEST(FloodGuard, ZeroSwitchesALimitOffAndRemembersNothing)
{
    FloodGuard guard(FloodLimits{0, 0, 0, 1000});
    EXPECT_EQ(Admitted(guard, "10.0.0.1", 100000, 0), 100000);
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(guard.AdmitRegistration("10.0.0.1", 0));
    EXPECT_EQ(guard.TrackedAddresses(), 0u);
    EXPECT_FALSE(guard.TakeSummary(60'000));
    EXPECT_THROW(FloodGuard(FloodLimits{.maxAddresses = 0}), std::invalid_argument);
}

TEST(FloodGuard, SpoofedSourcesCycleABoundedTableWithoutFreeingTheFlooder)
{
    FloodGuard guard(FloodLimits{.requestsPerSecond = 50, .registrationsPerHour = 20, .maxAddresses = 1000});
    EXPECT_EQ(Admitted(guard, "10.9.9.9", 200, 0), 100);
    // A million spoofed sources, one datagram each, while the real flooder keeps sending.
    int flooderAdmitted = 0;
    for (std::uint32_t i = 0; i < 1'000'000; ++i) {
        const std::string spoofed = "172." + std::to_string((i >> 16) & 255) + "." + std::to_string((i >> 8) & 255) +
                                    "." + std::to_string(i & 255);
        ASSERT_TRUE(guard.AdmitRequest(spoofed, i / 1000)); // a thousand a millisecond
        if (i % 100 == 0)
            flooderAdmitted += guard.AdmitRequest("10.9.9.9", i / 1000) ? 1 : 0;
        ASSERT_LE(guard.TrackedAddresses(), 1000u);
    }
    // 1000 ms passed: the flooder got what its rate allows, not a fresh burst per eviction.
    EXPECT_LE(flooderAdmitted, 51);
    const auto summary = guard.TakeSummary(1000);
    ASSERT_TRUE(summary);
    EXPECT_THAT(*summary, HasSubstr("busiest: 10.9.9.9 ("));
    // Everything is full again an hour later, so nothing is left to remember.
    EXPECT_FALSE(guard.TakeSummary(3'600'000));
    EXPECT_EQ(guard.TrackedAddresses(), 0u);
}

TEST(FloodGuard, SummaryCountsTheMinutesDropsAndNamesTheBusiestFive)
{
    FloodGuard guard(FloodLimits{.requestsPerSecond = 1, .registrationsPerHour = 1, .maxAddresses = 1000});
    EXPECT_FALSE(guard.TakeSummary(0));
    for (int n = 1; n <= 7; ++n)
        Admitted(guard, "192.168.0." + std::to_string(n), 2 + n, 0); // 2 pass, n dropped
    guard.AdmitRegistration("192.168.0.9", 0);
    guard.AdmitRegistration("192.168.0.9", 0); // dropped: one new nick an hour
    const auto summary = guard.TakeSummary(60'000);
    ASSERT_TRUE(summary);
    EXPECT_EQ(*summary, "Flood guard: 29 requests dropped in the last minute (limits 1/s, 1 new nicks/h, 1024 KB/s sent); busiest: "
                        "192.168.0.7 (7), 192.168.0.6 (6), 192.168.0.5 (5), 192.168.0.4 (4), 192.168.0.3 (3)");
    // The next minute starts from nothing.
    EXPECT_FALSE(guard.TakeSummary(120'000));
    EXPECT_EQ(guard.TrackedAddresses(), 1u); // only 192.168.0.9 still owes registrations
}

TEST(FloodGuard, WhatASourceMadeTheLobbySendIsPaidBackBeforeItIsHeardAgain)
{
    // 1 KB a second, four at once; requests themselves unlimited.
    FloodGuard guard(FloodLimits{.requestsPerSecond = 0, .registrationsPerHour = 0, .sendKilobytesPerSecond = 1});
    ASSERT_TRUE(guard.AdmitRequest("10.0.0.1", 0));
    guard.ChargeSent("10.0.0.1", 3000, 0);
    ASSERT_TRUE(guard.AdmitRequest("10.0.0.1", 0)); // 1096 bytes left: one more, however big
    guard.ChargeSent("10.0.0.1", 2000, 0);          // 904 bytes in debt
    EXPECT_FALSE(guard.AdmitRequest("10.0.0.1", 0));
    EXPECT_FALSE(guard.AdmitRequest("10.0.0.1", 882)); // 1.024 bytes a millisecond pay it off
    EXPECT_TRUE(guard.AdmitRequest("10.0.0.1", 883));
    EXPECT_TRUE(guard.AdmitRequest("10.0.0.2", 0));    // others have budgets of their own
    // An address never admitted is not charged, nor remembered.
    guard.ChargeSent("10.0.0.3", 1 << 30, 0);
    EXPECT_EQ(guard.TrackedAddresses(), 2u);
    EXPECT_TRUE(guard.AdmitRequest("10.0.0.3", 0));
    // A debt of any size stays bounded: an hour's budget at most.
    guard.ChargeSent("10.0.0.3", ~0ull, 0);
    EXPECT_FALSE(guard.AdmitRequest("10.0.0.3", 3'599'999));
    EXPECT_TRUE(guard.AdmitRequest("10.0.0.3", 3'600'001));
}

TEST(FloodGuard, SourceKeysKeepAddressesApart)
{
    EXPECT_EQ(SourceKey("1.2.3.4"), 0x01020304u);
    EXPECT_EQ(SourceText(SourceKey("255.0.10.200")), "255.0.10.200");
    for (const char* other : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "01.2.3.4x", "", "host.example"})
        EXPECT_GT(SourceKey(other), 0xFFFFFFFFu) << other;
    EXPECT_NE(SourceKey("a"), SourceKey("b"));
    EXPECT_EQ(SourceText(SourceKey("host.example")), "(other source)");
}

// The request handler under the default limits, with time stepped by hand.
class FloodProtectedLobby : public testing::Test {
protected:
    std::size_t LogLineCount() const { return lobby.LogLines().size(); }

    FormUnderTest lobby;
};

TEST_F(FloodProtectedLobby, RequestsOverTheRateAreNeitherLoggedNorAnswered)
{
    lobby.Join("10.0.0.5", "ana");
    lobby.monotonic.nowMs += 10'000;
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|msg|oi"));
    ASSERT_EQ(lobby.TakeSent().size(), 100u);
    const std::size_t logged = LogLineCount();

    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|msg|oi"));
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "not even a request"));
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    EXPECT_EQ(LogLineCount(), logged);
    EXPECT_EQ(lobby.form->Counters().dropped, 2u);
    EXPECT_THAT(lobby.notifier.errors, IsEmpty());
    EXPECT_THAT(lobby.notifier.notices, IsEmpty()); // never a line per datagram

    // Another address is served meanwhile, and ana again 20 ms later.
    EXPECT_TRUE(lobby.Receive("10.0.0.6", "bob|pw|msg|oi"));
    EXPECT_EQ(lobby.TakeSent().size(), 3u); // welcome, then the chat to ana and bob
    lobby.monotonic.nowMs += 20;
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|msg|de novo"));
    EXPECT_EQ(lobby.TakeSent().size(), 2u);
}

TEST_F(FloodProtectedLobby, OnlyNewNicksCountAgainstTheRegistrationCap)
{
    // Refusals register nobody, so they use up nothing.
    lobby.Join("10.0.0.9", "owner", "secret");
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "owner|wrong|slc|"));
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "bad,nick|pw|slc|"));
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "half a request|"));
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(lobby.Receive("10.0.0.5", "p" + std::to_string(i) + "|pw|fc+|"));
    EXPECT_EQ(lobby.form->Cad.RowCount(), 1 + 21);
    lobby.TakeSent();
    const std::size_t logged = LogLineCount();

    EXPECT_TRUE(lobby.Receive("10.0.0.5", "p20|pw|slc|"));
    EXPECT_THAT(lobby.TakeSent(), IsEmpty());
    EXPECT_EQ(LogLineCount(), logged);
    EXPECT_EQ(lobby.RowOf("p20"), 0);

    // The players it has keep playing, and other addresses still register.
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "p3|pw|msg|oi"));
    EXPECT_FALSE(lobby.TakeSent().empty());
    EXPECT_TRUE(lobby.Receive("10.0.0.6", "zoe|pw|fc-|"));
    EXPECT_NE(lobby.RowOf("zoe"), 0);

    // Three minutes bring one more.
    lobby.monotonic.nowMs += 180'000;
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "p20|pw|fc+|"));
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "p21|pw|fc+|"));
    EXPECT_NE(lobby.RowOf("p20"), 0);
    EXPECT_EQ(lobby.RowOf("p21"), 0);
}

TEST_F(FloodProtectedLobby, TheOperatorGetsOneSummaryAMinuteOnTheTimerTick)
{
    lobby.Join("10.0.0.5", "ana");
    for (int i = 0; i < 130; ++i)
        lobby.Receive("10.0.0.5", "ana|pw|fc+|");
    for (int i = 0; i < 105; ++i)
        lobby.Receive("10.0.0.7", "x|y");
    EXPECT_THAT(lobby.notifier.notices, IsEmpty());

    EXPECT_TRUE(lobby.Tick());
    ASSERT_EQ(lobby.notifier.notices.size(), 1u);
    EXPECT_EQ(lobby.notifier.notices[0].caption, "lobby-server");
    EXPECT_EQ(lobby.notifier.notices[0].text, "Flood guard: 36 requests dropped in the last minute (limits 50/s, 20 "
                                              "new nicks/h, 1024 KB/s sent); busiest: 10.0.0.5 (31), 10.0.0.7 (5)");
    EXPECT_THAT(lobby.notifier.errors, IsEmpty());

    lobby.monotonic.nowMs += 60'000;
    EXPECT_TRUE(lobby.Tick());
    EXPECT_EQ(lobby.notifier.notices.size(), 1u); // a quiet minute says nothing
}

TEST_F(FloodProtectedLobby, ErrorsThatRequestsCauseAreShownTenAMinuteAndTheRestCounted)
{
    lobby.Join("10.0.0.5", "ana");
    for (int i = 0; i < 15; ++i)
        EXPECT_FALSE(lobby.Receive("10.0.0.5", "ana|pw|scj|" + std::to_string(i) + "x"));
    ASSERT_EQ(lobby.notifier.errors.size(), 10u);
    EXPECT_EQ(lobby.notifier.errors[9].text, "'9x' is not a valid integer value.");
    EXPECT_THAT(lobby.notifier.notices, IsEmpty());

    EXPECT_TRUE(lobby.Tick());
    ASSERT_EQ(lobby.notifier.notices.size(), 1u);
    EXPECT_EQ(lobby.notifier.notices[0].text,
              "5 more errors in the last minute not shown one by one; the last: '14x' is not a valid integer value");
    // A new minute shows errors again.
    EXPECT_FALSE(lobby.Receive("10.0.0.5", "ana|pw|scj|y"));
    EXPECT_EQ(lobby.notifier.errors.size(), 11u);
    EXPECT_TRUE(lobby.Tick());
    EXPECT_EQ(lobby.notifier.notices.size(), 1u);
}

TEST(FloodProtectedBroadcasts, ASourceWhoseRequestsBroadcastMuchIsHeldToItsSendBudget)
{
    // 4 KB a second, 16 KB at once: a player list to 40 players costs about 10 KB.
    FormUnderTest lobby([](FormEnvironment& environment) { environment.floodLimits.sendKilobytesPerSecond = 4; });
    for (int i = 0; i < 40; ++i)
        lobby.Join("10.1.0." + std::to_string(i), "player" + std::to_string(i));
    lobby.monotonic.nowMs += 10'000;
    int admitted = 0;
    for (int i = 0; i < 10; ++i) {
        lobby.Receive("10.1.0.7", "player7|pw|" + std::string(i % 2 ? "fc+|" : "fc-|"));
        admitted += lobby.TakeSent().empty() ? 0 : 1;
    }
    EXPECT_EQ(admitted, 2);
    // The others are served meanwhile, chat included (cheap: about 1 KB to all).
    EXPECT_TRUE(lobby.Receive("10.1.0.8", "player8|pw|msg|oi"));
    EXPECT_EQ(lobby.TakeSent().size(), 40u);
    // Paid back after a few seconds.
    lobby.monotonic.nowMs += 5'000;
    EXPECT_TRUE(lobby.Receive("10.1.0.7", "player7|pw|fc+|"));
    EXPECT_EQ(lobby.TakeSent().size(), 40u);
}

TEST(FloodProtectedBroadcasts, ARequestHandledNestedInAnothersSendIsChargedToItsOwnSourceOnly)
{
    // As during a host-name lookup: player8's two 16 KB player lists go out nested in
    // player7's chat broadcast (the second in the first). They are player8's to pay alone.
    FormUnderTest lobby([](FormEnvironment& environment) { environment.floodLimits.sendKilobytesPerSecond = 4; });
    for (int i = 0; i < 40; ++i)
        lobby.Join("10.1.0." + std::to_string(i), "player" + std::to_string(i));
    lobby.monotonic.nowMs += 10'000;
    int nested = 0;
    lobby.endpoint->failBeforeSend = [&](const std::string&, const std::string&) {
        if (nested < 2 && ++nested)
            lobby.Receive("10.1.0.8", "player8|pw|fc+|");
    };
    EXPECT_TRUE(lobby.Receive("10.1.0.7", "player7|pw|msg|oi"));
    lobby.endpoint->failBeforeSend = nullptr;
    lobby.TakeSent();
    EXPECT_TRUE(lobby.Receive("10.1.0.7", "player7|pw|msg|oi de novo"));
    EXPECT_EQ(lobby.TakeSent().size(), 40u);
}

TEST(RegistryCapacity, NewNicksPastItAreTakenAndTheOperatorIsToldOnce)
{
    FormUnderTest lobby([](FormEnvironment& environment) { environment.capacity = 2; });
    lobby.Join("10.0.0.5", "ana");
    lobby.Join("10.0.0.6", "bob");

    EXPECT_TRUE(lobby.Receive("10.0.0.7", "cy|pw|slc|"));
    EXPECT_TRUE(lobby.Receive("10.0.0.8", "dee|pw|slc|"));
    EXPECT_THAT(lobby.TakeSent(), ElementsAre(SentDatagram{"10.0.0.7", kNickTaken}, SentDatagram{"10.0.0.8", kNickTaken}));
    EXPECT_THAT(lobby.Nicks(), ElementsAre("ana", "bob"));
    ASSERT_EQ(lobby.notifier.errors.size(), 1u);
    EXPECT_THAT(lobby.notifier.errors[0].text, HasSubstr("registry is full (2 players)"));

    // The registered players are served as ever.
    EXPECT_TRUE(lobby.Receive("10.0.0.5", "ANA|PW|scj|5"));
    EXPECT_EQ(lobby.CellOf("ana", Registry::kScore), "5");
    EXPECT_EQ(lobby.notifier.errors.size(), 1u);
}

TEST(RegistryCapacity, ZeroMeansNoLimit)
{
    FormUnderTest lobby([](FormEnvironment& environment) {
        environment.capacity = 0;
        environment.floodLimits.registrationsPerHour = 0;
    });
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(lobby.Receive("10.0.0.5", "p" + std::to_string(i) + "|pw|"));
    EXPECT_EQ(lobby.form->Cad.RowCount(), 51);
    EXPECT_THAT(lobby.notifier.errors, IsEmpty());
}

CommandLine Parse(std::vector<const char*> words)
{
    words.insert(words.begin(), "lobby-server");
    return ParseCommandLine(static_cast<int>(words.size()), words.data());
}

TEST(FloodOptions, DefaultsAndValuesReachTheFormEnvironment)
{
    FormEnvironment environment;
    ApplyServerLimits(Parse({"m5qt4"}), environment);
    EXPECT_EQ(environment.floodLimits.requestsPerSecond, 50u);
    EXPECT_EQ(environment.floodLimits.registrationsPerHour, 20u);
    EXPECT_EQ(environment.floodLimits.sendKilobytesPerSecond, 1024u);
    EXPECT_EQ(environment.capacity, 1000000);

    ApplyServerLimits(Parse({"m5qt4", "--rate-limit", "0", "--registration-limit", "7", "--send-limit", "64",
                             "--capacity", "300"}),
                      environment);
    EXPECT_EQ(environment.floodLimits.requestsPerSecond, 0u);
    EXPECT_EQ(environment.floodLimits.registrationsPerHour, 7u);
    EXPECT_EQ(environment.floodLimits.sendKilobytesPerSecond, 64u);
    EXPECT_EQ(environment.capacity, 300);
}

TEST(FloodOptions, BadValuesAreRefusedWithTheOptionsName)
{
    for (const char* bad : {"-1", "x", "", "12x", "99999999999", "1000001"}) {
        try {
            Parse({"m5qt4", "--rate-limit", bad});
            ADD_FAILURE() << "accepted --rate-limit " << bad;
        } catch (const std::invalid_argument& error) {
            EXPECT_THAT(error.what(), HasSubstr("--rate-limit needs a whole number from 0 to 1000000"));
        }
    }
    EXPECT_THROW(Parse({"m5qt4", "--capacity"}), std::invalid_argument);
    EXPECT_THROW(Parse({"m5qt4", "--capacity", "100000001"}), std::invalid_argument);
    EXPECT_THROW(Parse({"m5qt4", "--registration-limit", "+3"}), std::invalid_argument);
}

} // namespace
