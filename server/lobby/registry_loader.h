#pragma once

#include <string>

#include "platform/clock.h"
#include "platform/data_folder.h"
#include "server/lobby/error_box.h"
#include "server/lobby/memo.h"
#include "server/lobby/save_scheduler.h"
#include "server/registry/registry.h"

namespace lobby {

// Loads the registry file into the table, with its journal, and tells the operator what the
// load found: a file not read whole (kept beside as it was, before anything can save), rows
// whose score is no integer, nicks registered twice, changes the journal brought back.
class RegistryLoader {
public:
    RegistryLoader(DataFolder& files, std::string fileName, ErrorBox& errors, const Clock& clock)
        : files_(files), fileName_(std::move(fileName)), errors_(errors), clock_(clock)
    {
    }

    // Loads the file into table (memo is the line buffer it goes through, cleared after), then
    // replays the journal through saves. A missing file gives the header-only table and is then
    // created; a failure to create it raises with the table loaded all the same. A file that
    // exists and cannot be read raises RegistryUnreadable and loads nothing; so does a file read
    // only in part when it cannot be kept beside as it is.
    void Load(Registry& table, TMemo& memo, SaveScheduler& saves);

private:
    std::string Path() const { return files_.PathOf(fileName_); }
    void KeepUnreadRegistry(const LoadFindings& findings);
    void TellReplay(const ReplayOutcome& outcome);
    void TellBadScores(const LoadFindings& findings, const Registry& table);
    void TellDuplicateNicks(const LoadFindings& findings, const Registry& table);

    DataFolder& files_;
    std::string fileName_;
    ErrorBox& errors_;
    const Clock& clock_;
};

} // namespace lobby
