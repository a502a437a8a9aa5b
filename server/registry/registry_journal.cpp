#include "server/registry/registry_journal.h"

#include <cstdio>

#include "platform/gzip_member.h"

namespace lobby {

namespace {

constexpr std::string_view kHeaderWord = "registry journal 1 ";
constexpr std::size_t kFrameBytes = 8;   // length and CRC
constexpr std::size_t kMinPayload = 9;   // seq and kind
constexpr std::size_t kMaxPayload = 1 << 16;

std::uint32_t CrcOf(std::uint32_t crc, std::string_view bytes)
{
    return Crc32(crc, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

void PutLittle(std::string& out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint64_t GetLittle(std::string_view in, std::size_t at, int bytes)
{
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
    return value;
}

// The payload's fields, or nothing when they do not fill it exactly.
std::optional<JournalRecord> DecodePayload(std::string_view payload)
{
    JournalRecord record;
    record.seq = GetLittle(payload, 0, 8);
    record.kind = static_cast<JournalRecord::Kind>(payload[8]);
    std::size_t at = kMinPayload;
    while (at < payload.size()) {
        if (payload.size() - at < 2)
            return std::nullopt;
        const std::size_t length = GetLittle(payload, at, 2);
        at += 2;
        if (payload.size() - at < length)
            return std::nullopt;
        record.fields.emplace_back(payload.substr(at, length));
        at += length;
    }
    return record;
}

bool AllZero(std::string_view bytes)
{
    return bytes.find_first_not_of('\0') == std::string_view::npos;
}

bool ParseHeader(std::string_view line, ParsedJournal& journal)
{
    if (line.substr(0, kHeaderWord.size()) != kHeaderWord)
        return false;
    const std::string rest(line.substr(kHeaderWord.size()));
    unsigned long long size = 0;
    unsigned long long base = 0;
    unsigned int crc = 0;
    char end = 0;
    if (std::sscanf(rest.c_str(), "%llu %u %llu%c", &size, &crc, &base, &end) != 3)
        return false;
    journal.extends = FileIdentity{size, crc};
    journal.base = base;
    return true;
}

} // namespace

std::string FileIdentity::Text() const
{
    char crcText[16];
    std::snprintf(crcText, sizeof crcText, "%08x", crc);
    return std::to_string(size) + " bytes, CRC-32 " + crcText;
}

FileIdentity IdentityOf(std::string_view bytes)
{
    return FileIdentity{bytes.size(), CrcOf(0, bytes)};
}

FileIdentity IdentityOf(const RegistrySnapshot& snapshot)
{
    FileIdentity identity;
    for (std::size_t i = 0; i < snapshot.Rows(); ++i) {
        const std::string_view line = snapshot.Line(i);
        identity.size += line.size();
        identity.crc = CrcOf(identity.crc, line);
    }
    return identity;
}

std::string JournalHeader(const FileIdentity& extends, std::uint64_t base)
{
    return std::string(kHeaderWord) + std::to_string(extends.size) + " " + std::to_string(extends.crc) + " " +
           std::to_string(base) + "\n";
}

std::string EncodeRecord(const JournalRecord& record)
{
    std::string payload;
    PutLittle(payload, record.seq, 8);
    payload += static_cast<char>(record.kind);
    for (const std::string& field : record.fields) {
        // The registry cuts lines at 4096 characters, so no field that reaches it is longer.
        const std::size_t length = std::min<std::size_t>(field.size(), 0xFFFF);
        PutLittle(payload, length, 2);
        payload.append(field, 0, length);
    }
    std::string framed;
    framed.reserve(kFrameBytes + payload.size());
    PutLittle(framed, payload.size(), 4);
    PutLittle(framed, CrcOf(0, payload), 4);
    framed += payload;
    return framed;
}

// A record that fails its check is the torn end of an append when nothing whole could follow
// it: it runs past the end of the file, or all after it is zeros (space a crash allocated
// but never filled). Anything else is damage, and what follows it is not trusted.
ParsedJournal ParseJournal(std::string_view bytes)
{
    ParsedJournal journal;
    const std::size_t lineEnd = bytes.find('\n');
    if (lineEnd == std::string_view::npos || !ParseHeader(bytes.substr(0, lineEnd), journal))
        return journal;
    journal.headerValid = true;
    std::size_t at = lineEnd + 1;
    while (at < bytes.size()) {
        const std::string_view rest = bytes.substr(at);
        std::optional<JournalRecord> record;
        std::size_t length = 0;
        if (rest.size() >= kFrameBytes) {
            length = GetLittle(rest, 0, 4);
            const bool fits = length >= kMinPayload && length <= kMaxPayload && rest.size() - kFrameBytes >= length;
            if (fits && CrcOf(0, rest.substr(kFrameBytes, length)) == GetLittle(rest, 4, 4))
                record = DecodePayload(rest.substr(kFrameBytes, length));
        }
        if (!record) {
            const bool runsPast = rest.size() < kFrameBytes || rest.size() - kFrameBytes < length || length > kMaxPayload;
            if (runsPast || AllZero(rest))
                journal.tornBytes = rest.size();
            else
                journal.damagedAt = at;
            break;
        }
        journal.records.push_back(std::move(*record));
        at += kFrameBytes + length;
    }
    journal.goodBytes = at;
    return journal;
}

} // namespace lobby
