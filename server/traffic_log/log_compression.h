#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/file_system.h"

namespace lobby {

// Compresses one closed day of the traffic log, folder/DATE.txt, into folder/DATE.txt.gz: a
// gzip file (zcat, zgrep and zless read it) holding the day's bytes exactly, with the plain
// file's name, modification time and permissions. The plain file goes only once the
// compressed one is whole on disk, so whenever the process dies, at least one of the two
// holds the whole day:
//   1. the plain file is opened and locked (exclusive, without waiting): a day another
//      server still writes is held by that server's lock and left alone;
//   2. the compressed bytes go to DATE.txt.gz.tmp, which is synced to disk;
//   3. it is renamed to DATE.txt.gz and the folder synced, so the name is on disk too;
//   4. only then is the plain file removed.
// A DATE.txt.gz already there (the day was compressed before and its log then written again,
// the clock having been set back) is kept in front: the new bytes are added to it as a
// further gzip member, which every gzip reader reads on from the first. When the last member
// already holds exactly the plain file (a crash between steps 3 and 4), the plain file is
// only removed.
// Runs on any thread; touches nothing but these files.

// The moments a crash can come between, for the tests that crash there.
enum class CompressionStep {
    Writing, // after a piece of the compressed file has been written
    Synced,  // the compressed file is whole on disk under its temporary name
    Renamed, // and under its own name
    Removed, // the plain file is gone
};

struct CompressionControl {
    // Asked between pieces: when it reads true the work is abandoned, the temporary file
    // removed and the plain file kept. May be null.
    const std::atomic<bool>* stop = nullptr;
    // Told of every step as it is reached: where the tests crash, and where the keeper
    // paces the work (Writing comes after every piece). May be empty.
    std::function<void(CompressionStep)> onStep;
};

struct CompressionOutcome {
    enum class Result {
        Compressed,        // DATE.txt.gz holds the day; the plain file is gone
        AlreadyCompressed, // it held the day already; the plain file is gone
        NotThere,          // no plain file (removed meanwhile), or not a regular file
        HeldOpen,          // another process holds the day's lock; nothing was touched
        Stopped,           // abandoned on request; the plain file is kept
        Failed,            // see error; the plain file is kept
    };
    Result result = Result::NotThere;
    std::uint64_t plainBytes = 0;      // the day's bytes
    std::uint64_t compressedBytes = 0; // what they take compressed
    std::string error;                 // Failed: why, for the operator ("Disk full")
};

// A day's plain file opened and locked (exclusive, without waiting), as it was when
// the lock was taken. While it is held no server writes the day, and no other keeper
// compresses or removes it.
struct LockedLogFile {
    enum class Result {
        Locked,
        NotThere, // no such file, not a regular file or a link, or replaced between open and lock
        HeldOpen, // another open file holds the lock: a server writes the day
        Failed,   // see error
    };
    Result result = Result::NotThere;
    OpenFile file;
    FileStatus status;
    std::string error;
};
LockedLogFile LockLogFile(const std::string& path);

// folder ends with "/"; dateText names the day as the log names it.
CompressionOutcome CompressLogDay(const std::string& folder, const std::string& dateText,
                                  const CompressionControl& control);

} // namespace lobby
