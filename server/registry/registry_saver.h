#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/data_folder.h"
#include "platform/event_loop.h"
#include "server/registry/background_job.h"
#include "server/registry/registry_snapshot.h"

namespace lobby {

// How a registry save ended.
struct RegistrySaveResult {
    std::exception_ptr error;        // the save failed with this, the file left as it was
    std::optional<std::string> text; // the file's text, when it was asked for...
    std::vector<std::size_t> lineStarts; // ...and where each of its lines starts
};

// What a save does around the file's replacement, on the thread that saves: before runs once
// the snapshot is final and the file not yet replaced (raising stops the save, the old file
// untouched); after runs once the new file is durable under its name.
struct SaveSteps {
    std::function<void(const RegistrySnapshot& snapshot)> before;
    std::function<void()> after;
};

// Writes registry snapshots to the registry file, one at a time. What the lobby's handlers
// see is the same whatever writes: a save is started with a snapshot and its end arrives
// later, on the loop's thread.
class RegistrySaver {
public:
    using Done = std::function<void(RegistrySaveResult result)>;

    virtual ~RegistrySaver() = default;

    // Writes snapshot to the file name of folder (see WriteRegistryFile), with the file's
    // text in the result when keepText. done runs on the loop's thread once the file is
    // durable or the save has failed; it may run before Start returns. Never two saves at
    // once. folder must outlive the save. steps run around the replacement.
    virtual void Start(DataFolder& folder, std::string name, RegistrySnapshot snapshot, bool keepText, Done done,
                       SaveSteps steps = {}) = 0;

    // Returns once no save is in flight, its done having run (on the calling thread, if the
    // loop has not run it yet).
    virtual void Finish() = 0;
};

// Writes at once, inside Start: for lobbies without a loop (tools, fuzzing, most unit tests).
class InlineRegistrySaver : public RegistrySaver {
public:
    void Start(DataFolder& folder, std::string name, RegistrySnapshot snapshot, bool keepText, Done done,
               SaveSteps steps = {}) override;
    void Finish() override {}
};

// Writes on a thread of its own, in the idle scheduling class, so that the loop goes on
// serving while a million-row file is written and flushed; the end is posted to the loop.
class BackgroundRegistrySaver : public RegistrySaver {
public:
    explicit BackgroundRegistrySaver(EventLoop& loop) : job_(loop) {}

    void Start(DataFolder& folder, std::string name, RegistrySnapshot snapshot, bool keepText, Done done,
               SaveSteps steps = {}) override;
    void Finish() override { job_.Finish(); }

private:
    BackgroundJob<RegistrySaveResult> job_; // waits, when gone, for a save in flight, whose done then never runs
};

// Runs one save: the file written, the text taken when asked for, and whatever it raised.
RegistrySaveResult SaveSnapshot(DataFolder& folder, std::string_view name, const RegistrySnapshot& snapshot, bool keepText,
                                const SaveSteps& steps = {});

} // namespace lobby
