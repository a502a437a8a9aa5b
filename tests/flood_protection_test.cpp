// Flood protection: the per-address request, registration and send limits (the guard alone,
// then in the request handler), the operator's summary a minute, the errors requests cause
// (a few shown a minute), the bound on what the guard remembers, the registry's capacity,
// and the options that set them.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "server/flood/flood_guard.h"
#include "support/client_texts.h"
#include "support/form_under_test.h"

using namespace lobby;

namespace {

using namespace test_support;

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

// New limits while serving: a bucket whose limit changed starts full under it, so an address
// that had used its burst is not held to the old emptiness, and the new rate holds from then on.
TEST(FloodGuard, NewLimitsStartWithFullBuckets)
{
    FloodGuard guard(FloodLimits{.requestsPerSecond = 50, .registrationsPerHour = 20, .maxAddresses = 1000});
    EXPECT_EQ(Admitted(guard, "10.0.0.1", 150, 0), 100);
    FloodLimits limits = guard.Limits();
    limits.requestsPerSecond = 5;
    limits.maxAddresses = 1; // the table stays as it was made
    guard.SetLimits(limits);
    EXPECT_EQ(guard.Limits().maxAddresses, 1000u);
    EXPECT_EQ(Admitted(guard, "10.0.0.1", 20, 0), 10);
    EXPECT_EQ(Admitted(guard, "10.0.0.1", 5, 200), 1);
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
    FloodGuard guard(FloodLimits{0, 0, 0, 1000, 0, 0});
    EXPECT_EQ(Admitted(guard, "10.0.0.1", 100000, 0), 100000);
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(guard.AdmitRegistration("10.0.0.1", 0));
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(guard.AdmitSend("10.0.0.1", "copy"));
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
    EXPECT_EQ(*summary, "Flood guard: in the last minute 28 requests dropped (over 1/s), 1 new nick dropped (over 1/h); "
                        "busiest: 192.168.0.7 (7 requests), 192.168.0.6 (6 requests), 192.168.0.5 (5 requests), "
                        "192.168.0.4 (4 requests), 192.168.0.3 (3 requests)");
    // The next minute starts from nothing.
    EXPECT_FALSE(guard.TakeSummary(120'000));
    EXPECT_EQ(guard.TrackedAddresses(), 1u); // only 192.168.0.9 still owes registrations
}

TEST(FloodGuard, WithinARunEachAddressGetsTheDatagramOnce)
{
    FloodGuard guard(FloodLimits{});
    ASSERT_TRUE(guard.AdmitRequest("10.0.0.9", 0)); // a round: one request's handling
    // A broadcast to rows at 10.0.0.1, 10.0.0.2 and 10.0.0.1 again.
    EXPECT_TRUE(guard.AdmitSend("10.0.0.1", "lsj|a|..."));
    EXPECT_TRUE(guard.AdmitSend("10.0.0.2", "lsj|a|..."));
    EXPECT_FALSE(guard.AdmitSend("10.0.0.1", "lsj|a|..."));
    // Other bytes start a run of their own; so do the earlier ones again.
    EXPECT_TRUE(guard.AdmitSend("10.0.0.1", "ttn|a - 0|..."));
    EXPECT_FALSE(guard.AdmitSend("10.0.0.1", "ttn|a - 0|..."));
    EXPECT_TRUE(guard.AdmitSend("10.0.0.1", "lsj|a|..."));
    // So does the next round: the same chat line said again reaches everybody again.
    ASSERT_TRUE(guard.AdmitRequest("10.0.0.9", 1));
    EXPECT_TRUE(guard.AdmitSend("10.0.0.1", "lsj|a|..."));
    // A host name from the registry file is not counted.
    EXPECT_TRUE(guard.AdmitSend("players.example", "lsj|a|..."));
    EXPECT_TRUE(guard.AdmitSend("players.example", "lsj|a|..."));
    EXPECT_EQ(guard.WithheldTotal(), 2u);
}

TEST(FloodGuard, AnAddressSilentForTenMinutesIsSentItsBudgetOnly)
{
    // 1 KB a second and 4 KB at once for an address silent for ten minutes.
    FloodGuard guard(FloodLimits{.silentSendKilobytesPerSecond = 1, .maxAddresses = 1000});
    int made = 0;
    // How many of count new datagrams of 1 KB may go to address in a round at nowMs.
    const auto sent = [&](const char* address, int count, std::int64_t nowMs) {
        guard.AdmitRequest("10.0.0.9", nowMs);
        int admitted = 0;
        for (int i = 0; i < count; ++i)
            admitted += guard.AdmitSend(address, std::to_string(1000 + ++made) + std::string(1020, 'x')) ? 1 : 0;
        return admitted;
    };
    ASSERT_TRUE(guard.AdmitRequest("10.0.0.1", 0));
    EXPECT_EQ(sent("10.0.0.1", 100, 599'999), 100);
    EXPECT_EQ(sent("10.0.0.1", 10, 600'000), 4);
    EXPECT_EQ(sent("10.0.0.1", 10, 600'999), 0);
    EXPECT_EQ(sent("10.0.0.1", 10, 601'000), 1); // 1.024 bytes a millisecond
    ASSERT_TRUE(guard.AdmitRequest("10.0.0.1", 601'000)); // heard from again
    EXPECT_EQ(sent("10.0.0.1", 100, 601'000), 100);

    // An address first met as a destination counts as heard then; a pause in what it is sent
    // does not make it new again.
    EXPECT_EQ(sent("10.0.0.2", 10, 601'000), 10);
    EXPECT_TRUE(guard.TakeSummary(660'000));
    EXPECT_FALSE(guard.TakeSummary(720'000));
    EXPECT_EQ(sent("10.0.0.2", 10, 1'201'000), 4);
    EXPECT_EQ(guard.TakeSummary(1'260'000), "Flood guard: in the last minute 6 datagrams not sent to addresses silent "
                                            "for 10 minutes (over 1 KB/s); busiest: 10.0.0.2 (6 datagrams)");
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
    EXPECT_EQ(lobby.form->Status().Counters().dropped, 2u);
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

TEST_F(FloodProtectedLobby, NicksForgedFromOneAddressMultiplyNothingAndFadeOnceItIsSilent)
{
    lobby.Join("10.0.0.5", "ana");
    // Twenty nicks registered with 10.6.6.6 forged as their source, all online there.
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(lobby.Receive("10.6.6.6", "v" + std::to_string(i) + "|pw|zzz|"));
    lobby.TakeSent();
    ASSERT_TRUE(lobby.Receive("10.0.0.5", "ana|pw|fc+|"));
    EXPECT_EQ(lobby.SentTo("10.6.6.6").size(), 1u);
    EXPECT_EQ(lobby.SentTo("10.0.0.5").size(), 1u);

    // Ten minutes on, with the rows kept online from elsewhere, 10.6.6.6 has been silent: it
    // gets 64 KB at once, then 16 KB a second, while ana gets every chat line.
    lobby.monotonic.nowMs += 600'000;
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(lobby.Receive("10.0.0.8", "v" + std::to_string(i) + "|pw|zzz|"));
    lobby.TakeSent();
    const std::string chat = "ana|pw|msg|" + std::string(2000, 'x'); // 2,015 bytes to each
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(lobby.Receive("10.0.0.5", chat));
    EXPECT_EQ(lobby.SentTo("10.6.6.6").size(), 32u); // 65,536 / 2,015
    EXPECT_EQ(lobby.SentTo("10.0.0.5").size(), 40u);
    lobby.TakeSent();
    // Once it speaks, it is served in full again.
    ASSERT_TRUE(lobby.Receive("10.6.6.6", "v0|pw|zzz|"));
    ASSERT_TRUE(lobby.Receive("10.0.0.5", chat));
    EXPECT_EQ(lobby.SentTo("10.6.6.6").size(), 1u);

    ASSERT_TRUE(lobby.Tick());
    ASSERT_EQ(lobby.notifier.notices.size(), 1u);
    EXPECT_THAT(lobby.notifier.notices[0].text,
                HasSubstr("8 datagrams not sent to addresses silent for 10 minutes (over 16 KB/s), "));
    EXPECT_THAT(lobby.notifier.notices[0].text, HasSubstr("; busiest: 10.6.6.6 (8 datagrams, "));
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
    EXPECT_EQ(lobby.notifier.notices[0].text, "Flood guard: in the last minute 36 requests dropped (over 50/s); busiest: "
                                              "10.0.0.5 (31 requests), 10.0.0.7 (5 requests)");
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
    EXPECT_EQ(environment.floodLimits.silentSendKilobytesPerSecond, 16u);
    EXPECT_EQ(environment.capacity, 1000000);
    const FormEnvironment defaults;
    EXPECT_EQ(environment.floodLimits.lobbyDatagramsPerSecond, defaults.floodLimits.lobbyDatagramsPerSecond);
    EXPECT_EQ(environment.floodLimits.lobbyRegistrationsPerSecond, defaults.floodLimits.lobbyRegistrationsPerSecond);
    EXPECT_EQ(environment.snapshotIntervalMs, defaults.snapshotIntervalMs);

    ApplyServerLimits(Parse({"m5qt4", "--rate-limit", "0", "--registration-limit", "7", "--send-limit", "64",
                             "--capacity", "300", "--lobby-output-limit", "5", "--lobby-registration-limit", "6",
                             "--list-interval", "0"}),
                      environment);
    EXPECT_EQ(environment.floodLimits.requestsPerSecond, 0u);
    EXPECT_EQ(environment.floodLimits.registrationsPerHour, 7u);
    EXPECT_EQ(environment.floodLimits.silentSendKilobytesPerSecond, 64u);
    EXPECT_EQ(environment.capacity, 300);
    EXPECT_EQ(environment.floodLimits.lobbyDatagramsPerSecond, 5u);
    EXPECT_EQ(environment.floodLimits.lobbyRegistrationsPerSecond, 6u);
    EXPECT_EQ(environment.snapshotIntervalMs, 0);
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
