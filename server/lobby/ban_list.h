#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "server/lobby/request_fields.h"

namespace lobby {

// One ban: a nick (the lobby's 8-bit text, matched as a login matches it, letters a-z in
// either case), or an IPv4 address or range of addresses in CIDR form ("10.0.0.0/8"; a
// single address is written without its "/32").
struct BanEntry {
    enum class Kind { Nick, Address };
    Kind kind = Kind::Nick;
    std::string value;       // the nick, or the address or range as written to the file
    std::uint32_t first = 0; // an address ban: its first address, host order
    int prefix = 32;         // an address ban: the leading bits every address in it shares

    // "nick ana", "address 10.0.0.5" or "address 10.0.0.0/8": how the file and the operator
    // write it.
    std::string Text() const;
    // Whether an address ban holds the address (host order).
    bool Covers(std::uint32_t address) const;
};

// The operator's bans, which the lobby holds in its data folder (kFileName) so that they
// last across restarts. A banned source's requests are dropped before they are logged or
// answered: requests from a banned address, and requests naming a banned nick, whatever
// their address. Checking a request costs nothing while no ban of its kind exists.
class BanList {
public:
    static constexpr const char* kFileName = "bans.txt";

    // The entry for the words the operator gave ("nick", NAME or "address", A.B.C.D or
    // A.B.C.D/N), or nothing with why in problem: a nick the registry could not hold (empty,
    // or with "|", ",", CR, LF or NUL), an address or range not in that form, another kind.
    // An empty kind lets the value say: what looks like an address (digits with dots or a
    // "/", or an IPv6 address) is read as one and refused when it is no IPv4 address or
    // range, so that a mistyped range never quietly becomes a nick; anything else is a nick.
    static std::optional<BanEntry> Parse(std::string_view kind, std::string_view value, std::string& problem);

    // Replaces the bans with those of a file's text: one entry a line as Text() writes them;
    // empty lines and lines starting with "#" are skipped. A line that is no entry raises
    // Exception "line N: why", and nothing is changed.
    void Load(std::string_view text);
    // The file's text: a comment line, then one line per entry, in the order they were made.
    std::string FileText() const;

    // Adds or removes an entry; false when there was nothing to do.
    bool Add(const BanEntry& entry);
    bool Remove(const BanEntry& entry);
    bool Contains(const BanEntry& entry) const;
    const std::vector<BanEntry>& Entries() const { return entries_; }

    bool BansAddress(std::string_view address) const;
    bool BansNick(std::string_view nick) const;
    // Whether a request from address (split into request, when it names a nick) is refused.
    bool Refuses(std::string_view address, const std::optional<RequestFields>& request) const
    {
        return (!addresses_.empty() && BansAddress(address)) ||
               (!nicks_.empty() && request && BansNick(request->nick));
    }

private:
    void Rebuild();

    std::vector<BanEntry> entries_;
    // The address bans by prefix and first address (prefix << 32 | first), and the prefixes
    // in use, longest first: an address is looked up once for each prefix, never once for
    // each ban, so thousands of ranges cost a request no more than a few.
    std::unordered_set<std::uint64_t> addresses_;
    std::vector<int> prefixes_;
    std::unordered_set<std::string> nicks_; // upper-cased a-z
};

} // namespace lobby
