#pragma once

#include <exception>
#include <functional>
#include <vector>

#include "platform/event_loop.h"
#include "server/registry/background_job.h"
#include "server/registry/journal_file.h"

namespace lobby {

// Appends groups of changes to the journal and syncs them, one group at a time; the end of
// each arrives on the loop's thread, as a registry save's does (see RegistrySaver).
class JournalWriter {
public:
    // error is null once the group is on disk.
    using Done = std::function<void(std::exception_ptr error)>;

    virtual ~JournalWriter() = default;
    // Appends group to journal; done runs on the loop's thread, maybe before Start returns.
    // Never two at once. journal must outlive the append.
    virtual void Start(JournalFile& journal, std::vector<EncodedRecord> group, Done done) = 0;
    // Returns once no append is in flight, its done having run.
    virtual void Finish() = 0;
};

// Appends inside Start: for lobbies without a loop (tools, fuzzing, most unit tests).
class InlineJournalWriter : public JournalWriter {
public:
    void Start(JournalFile& journal, std::vector<EncodedRecord> group, Done done) override;
    void Finish() override {}
};

// Appends on a thread of its own, so the loop never waits for the disk: a sync takes
// milliseconds on a disk that is busy, and the loop goes on serving meanwhile. A thread per
// group, gone once the group is synced (see BackgroundJob for why).
class BackgroundJournalWriter : public JournalWriter {
public:
    explicit BackgroundJournalWriter(EventLoop& loop) : job_(loop) {}

    void Start(JournalFile& journal, std::vector<EncodedRecord> group, Done done) override;
    void Finish() override { job_.Finish(); }

private:
    BackgroundJob<std::exception_ptr> job_; // waits, when gone, for an append in flight, whose done then never runs
};

// One append: the group written and synced, or what it raised.
std::exception_ptr AppendGroup(JournalFile& journal, const std::vector<EncodedRecord>& group);

} // namespace lobby
