#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/datagram_endpoint.h"
#include "platform/clock.h"
#include "platform/data_folder.h"
#include "platform/event_loop.h"
#include "platform/monotonic_clock.h"
#include "platform/regional_settings.h"
#include "server/flood/flood_guard.h"
#include "server/operator_notifier.h"
#include "server/registry/journal_writer.h"
#include "server/registry/registry_saver.h"
#include "server/traffic_log/log_keeper.h"

namespace lobby {

class TForm1;

// Everything the main window takes from outside, so tests can set each piece.
struct FormEnvironment {
    const Clock* clock = nullptr;
    const RegionalSettings* regional = nullptr; // re-read by the front end on SIGHUP
    OperatorNotifier* notifier = nullptr;
    EventLoop* loop = nullptr;  // drives Timer1; none in unit tests, which call the handlers
    // Builds UDP1, bound and wired to the form's datagram handler. May raise (port taken);
    // the window then cannot be created. Empty for a form without an endpoint.
    std::function<std::unique_ptr<DatagramEndpoint>(TForm1&)> makeEndpoint;
    // Whether Memo1 keeps the registry text as last saved, for a window to show. Headless
    // nobody reads it, and at a million players it is 40 MB held for nothing.
    bool keepSavedText = true;
    std::string exeName;                // the program's file name, for the error box caption
    std::string appFolder;              // where the registry and the logs live, ending in '/'
    // The files of appFolder; null: the system's (the fuzz targets keep theirs in memory).
    std::shared_ptr<DataFolder> dataFolder;
    std::vector<std::string> arguments; // the command line after the program name
    // Flood protection and registry size (--rate-limit, --registration-limit, --capacity).
    FloodLimits floodLimits;
    std::int32_t capacity = 1000000;      // players the registry takes at most; 0: no limit
    // The shortest time between two broadcasts of the player list (and of the ranking) once
    // a short run of them has gone out; 0: every change at once (see SnapshotPacer).
    std::int64_t snapshotIntervalMs = 100;
    const MonotonicClock* monotonic = nullptr; // what the limits are timed by; null: the system's
    // Writes the registry after score reports. Empty: on a thread of its own when there is a
    // loop, at once otherwise.
    std::function<std::unique_ptr<RegistrySaver>()> makeSaver;
    // The journal's writer; null for the one the loop calls for (see MakeJournalWriter).
    std::function<std::unique_ptr<JournalWriter>()> makeJournalWriter;
    // From this many rows on, changes go to the registry's journal (see SaveScheduler).
    int journalFromRows = 10000;
    // What becomes of the traffic log's closed days (--compress-logs, --keep-logs). Done by
    // a worker that reports through the loop, so a form without a loop does none of it.
    LogKeepingOptions logKeeping;
    // Passwords written as "***" in the traffic log and shown so in the windows
    // (--mask-passwords); the registry file keeps them as they are.
    bool maskPasswords = false;
};

// The environment's data folder, the system's folder appFolder when it names none (it is then
// set to it).
DataFolder& DataFolderOf(FormEnvironment& environment);
// What writes the registry after score reports: as the environment asks, else on a thread of
// its own when there is a loop, at once otherwise.
std::unique_ptr<RegistrySaver> MakeSaver(const FormEnvironment& environment);
// The journal's writer: in the background with a loop, inline without one.
std::unique_ptr<JournalWriter> MakeJournalWriter(const FormEnvironment& environment);

} // namespace lobby
