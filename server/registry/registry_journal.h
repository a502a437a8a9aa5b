#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/registry/registry_snapshot.h"

namespace lobby {

// Which registry file a journal extends: its length and the CRC-32 of its bytes. The file's
// own format has no room for a mark of its own, so this is how a journal tells the file it
// was written for from one put back from a backup or edited by hand while the lobby was down.
struct FileIdentity {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    bool operator==(const FileIdentity&) const = default;
    // "48213 bytes, CRC-32 1a2b3c4d", for the operator.
    std::string Text() const;
};

FileIdentity IdentityOf(std::string_view bytes);
// The identity of the file WriteRegistryFile makes of snapshot.
FileIdentity IdentityOf(const RegistrySnapshot& snapshot);

// One change the lobby promised to keep, as the journal holds it. Values are absolute (the
// score after the report, never the points added), so a record applied twice does no harm
// and one applied alone says all it means.
struct JournalRecord {
    enum class Kind : char {
        kNewPlayer = 'N', // nick, password, address
        kScore = 'S',     // nick, the score's text
        kFlag = 'F',      // nick, flag
        kPassword = 'P',  // nick, password
        kRemove = 'R',    // nick
        // Not a change: the registry file of identity (size, crc as decimal text) holds every
        // change up to seq. Written before that file takes the registry's name.
        kCheckpoint = 'C',
    };
    std::uint64_t seq = 0; // changes are numbered from 1, in the order they were made
    Kind kind = Kind::kScore;
    std::vector<std::string> fields;
};

// A record as written, with its number.
struct EncodedRecord {
    std::uint64_t seq = 0;
    std::string bytes;
};

// The journal's bytes: a header line naming the file it extends and the last change that
// file holds, then records, each its payload's length and CRC-32 (4 bytes each, little
// endian) and the payload: seq (8 bytes), kind (1 byte), and each field as a 2-byte length
// and its bytes. A record cut short by a crash shows as a length or CRC that does not match.
std::string JournalHeader(const FileIdentity& extends, std::uint64_t base);
std::string EncodeRecord(const JournalRecord& record);

// A journal as read back.
struct ParsedJournal {
    FileIdentity extends;
    std::uint64_t base = 0;               // the file extended holds every change up to this
    std::vector<JournalRecord> records;   // checkpoints included, in file order
    std::size_t goodBytes = 0;            // header and whole records
    std::size_t tornBytes = 0;            // a last record cut short, dropped
    // A record that is damaged with whole records after it: what follows it is not read.
    std::optional<std::size_t> damagedAt;
    bool headerValid = false;
};
ParsedJournal ParseJournal(std::string_view bytes);

} // namespace lobby
