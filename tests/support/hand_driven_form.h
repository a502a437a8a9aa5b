#pragma once

// The main window driven by hand: a clock the caller steps, pt_BR-like regional pictures (so
// the log is named dd-mm-yyyy.txt and times read hh:mm:ss), a recording endpoint, errors
// collected instead of shown, and its files in a folder of its own. Started as the program
// starts it (FormCreate, then FormActivate with the access word, each through RunHandler, so
// that a step's error is shown and the next step still runs); no timer runs, callers call
// the handlers themselves, through RunHandler as the real wiring does. Free of
// GoogleTest, so the benchmarks and the fuzz targets drive the form the way the tests do
// (FormUnderTest adds the tests' checks).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <utility>

#include "platform/regional_settings.h"
#include "server/lobby/form1.h"
#include "support/recording_endpoint.h"
#include "support/recording_notifier.h"
#include "support/stepping_clocks.h"
#include "support/temp_folder.h"

namespace test_support {

using namespace lobby;

// The environment a form driven by hand is made with: the given clock, regional pictures and
// notifier, its files in appFolder, and a recording endpoint that *endpoint is set to when the
// form makes it. No loop, no monotonic clock: callers set those they need.
FormEnvironment RecordingEnvironment(const Clock& clock, const RegionalSettings& regional, OperatorNotifier& notifier,
                                     RecordingEndpoint*& endpoint, const std::string& appFolder);

class HandDrivenForm {
public:
    // adjust may change the environment (limits, capacity, a notifier of its own) and put
    // files in the folder (environment.appFolder) before the form is made. The folder is
    // made under parentFolder. Raises std::runtime_error when the form does not start (its
    // registry unread); errors the start showed are in the notifier.
    explicit HandDrivenForm(const std::function<void(FormEnvironment&)>& adjust = {},
                            const std::filesystem::path& parentFolder = TempFolder::kDefaultParent);
    ~HandDrivenForm();
    HandDrivenForm(const HandDrivenForm&) = delete;
    HandDrivenForm& operator=(const HandDrivenForm&) = delete;

    // One datagram arriving from fromIp (source port 5555), handled as UDP1 would have it
    // handled. Says whether the handler ran without an error.
    bool Receive(const std::string& fromIp, const std::string& datagram);
    // Datagrams (source, bytes) taken by one receive, handled as UDP1 would have them handled:
    // one after another, their output handed over together at the end.
    void ReceiveTogether(const std::vector<std::pair<std::string, std::string>>& datagrams);
    // A receive that failed (NumberBytes -1).
    bool ReceiveFailed(const std::string& fromIp);
    // One tick of Timer1.
    bool Tick();

    // Starts the form again as the program starts it, on the files its folder holds now,
    // after FormDestroy ended its last run: clocks, flood guard, presence ticks, errors held
    // and what was sent are as at the first start. The form object is kept, so one form can
    // serve a whole fuzzing campaign, input after input. Says whether the start was clean.
    bool Restart();

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
