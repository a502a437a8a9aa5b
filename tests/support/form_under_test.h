#pragma once

// The main window driven by hand: a clock the test steps, pt_BR-like regional pictures (so
// the log is named dd-mm-yyyy.txt and times read hh:mm:ss), a recording endpoint, errors
// collected instead of shown, and its files in a folder of its own. Started as the program
// starts it (FormCreate, then FormActivate with the access word); no timer runs, tests call
// the handlers themselves, through RunHandler as the real wiring does.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/monotonic_clock.h"
#include "platform/regional_settings.h"
#include "server/form1.h"
#include "support/recording_endpoint.h"
#include "support/temp_folder.h"

namespace test_support {

class SteppingClock : public Clock {
public:
    LocalDateTime Now() const override { return now; }
    LocalDateTime now{2026, 12, 7, 10, 20, 30, 1};
};

// The monotonic clock the flood limits are timed by; tests move it by hand.
class SteppingMonotonicClock : public MonotonicClock {
public:
    std::int64_t NowMs() const override { return nowMs; }
    std::int64_t nowMs = 1000000;
};

struct OperatorError {
    std::string caption;
    std::string text;
};

class RecordingNotifier : public OperatorNotifier {
public:
    void ShowError(const std::string& caption, const std::string& text) override
    {
        errors.push_back({caption, text});
    }
    void ShowNotice(const std::string& caption, const std::string& text) override
    {
        notices.push_back({caption, text});
    }
    std::vector<OperatorError> errors;
    std::vector<OperatorError> notices;
};

class FormUnderTest {
public:
    // adjust may change the environment (limits, capacity) before the form is made.
    explicit FormUnderTest(const std::function<void(FormEnvironment&)>& adjust = {});
    ~FormUnderTest();

    // One datagram arriving from fromIp (source port 5555), handled as UDP1 would have it
    // handled. Says whether the handler ran without an error.
    bool Receive(const std::string& fromIp, const std::string& datagram);
    // A receive that failed (NumberBytes -1).
    bool ReceiveFailed(const std::string& fromIp);
    // One tick of Timer1.
    bool Tick();

    // A new player's first "slc", with its replies and broadcasts taken away.
    void Join(const std::string& fromIp, const std::string& nick, const std::string& password = "pw");

    // Everything sent since the last call, and forgets it.
    std::vector<SentDatagram> TakeSent();
    // The bytes of what was sent since the last TakeSent to one address, in order.
    std::vector<std::string> SentTo(const std::string& host) const;

    // Replaces cadastro.txt and loads it again, as at start-up.
    void LoadRegistryFile(const std::string& text);
    std::string RegistryFile() const;
    // The day's traffic log, as the clock now reads the day; empty when there is none.
    std::string LogText() const;
    // The log's lines without their CR LF; a last line without CR LF is kept as it is.
    std::vector<std::string> LogLines() const;

    // The first player row with this nick (exact bytes), 0 when there is none.
    int RowOf(const std::string& nick) const;
    std::string CellOf(const std::string& nick, Registry::Column column) const;
    // The nicks of the player rows, in row order.
    std::vector<std::string> Nicks() const;

    TempFolder folder;
    SteppingClock clock;
    SteppingMonotonicClock monotonic;
    RegionalSettings regional{"%d/%m/%Y", "%H:%M:%S", "%I:%M:%S %p", "AM", "PM"};
    RecordingNotifier notifier;
    RecordingEndpoint* endpoint = nullptr; // owned by the form
    std::unique_ptr<TForm1> form;
};

} // namespace test_support
