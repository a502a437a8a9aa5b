#include "server/lobby/ban_list.h"

#include <algorithm>

#include "net/dotted_quad.h"
#include "platform/exception.h"
#include "server/registry/registry.h"

namespace lobby {

namespace {

constexpr std::string_view kNickWord = "nick";
constexpr std::string_view kAddressWord = "address";
constexpr std::string_view kNoAddress = " is no IPv4 address (10.0.0.5) nor range (10.0.0.0/8)";

std::uint32_t Mask(int prefix)
{
    return prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
}

std::uint64_t Key(int prefix, std::uint32_t first)
{
    return std::uint64_t(prefix) << 32 | first;
}

bool SameEntry(const BanEntry& a, const BanEntry& b)
{
    if (a.kind != b.kind)
        return false;
    if (a.kind == BanEntry::Kind::Nick)
        return EqualIgnoringAsciiCase(a.value, b.value);
    return a.first == b.first && a.prefix == b.prefix;
}

bool AllOf(std::string_view text, std::string_view characters)
{
    return text.find_first_not_of(characters) == std::string_view::npos;
}

// An IPv6 address as an operator would paste one ("::1", "fe80::1", "2001:db8::/32"): only
// hex digits, colons, dots and a "/", with two colons at least.
bool LooksLikeIpv6(std::string_view text)
{
    return std::count(text.begin(), text.end(), ':') >= 2 && AllOf(text, "0123456789abcdefABCDEF:./%");
}

// What an operator means as an address: digits with a dot or a "/" ("10.0.0/8", "1.2.3.4.").
bool LooksLikeIpv4(std::string_view text)
{
    return !text.empty() && AllOf(text, "0123456789./") && text.find_first_of("./") != std::string_view::npos;
}

std::optional<BanEntry> ParseNick(std::string_view value, std::string& problem)
{
    // A nick no registry row can hold can never log in: banning it would only hide a typo.
    if (value.empty() || value.find_first_of(std::string_view("|,\r\n\0", 5)) != std::string_view::npos) {
        problem = "a nick to ban is not empty and holds no \"|\", \",\", line end or NUL byte";
        return std::nullopt;
    }
    return BanEntry{BanEntry::Kind::Nick, std::string(value)};
}

// A.B.C.D or A.B.C.D/N, N from 1 to 32 and no bit set past it.
std::optional<BanEntry> ParseAddress(std::string_view value, std::string& problem)
{
    const std::string quoted = "\"" + std::string(value) + "\"";
    if (LooksLikeIpv6(value)) {
        problem = quoted + " is an IPv6 address, and the lobby serves IPv4 only: ban an IPv4 address (10.0.0.5) or range "
                           "(10.0.0.0/8), or a nick of that name with ban --nick";
        return std::nullopt;
    }
    const std::size_t slash = value.find('/');
    const auto first = ParseDottedQuad(value.substr(0, slash));
    if (!first) {
        problem = quoted + std::string(kNoAddress) + ": the address is four numbers 0 to 255 joined by dots";
        return std::nullopt;
    }
    int prefix = 32;
    if (slash != std::string_view::npos) {
        const std::string_view bits = value.substr(slash + 1);
        prefix = bits.empty() || bits.size() > 2 || !AllOf(bits, "0123456789") || (bits.size() == 2 && bits[0] == '0')
                     ? -1
                     : std::stoi(std::string(bits));
        if (prefix < 1 || prefix > 32) {
            problem = quoted + std::string(kNoAddress) + ": the prefix after \"/\" is a number from 1 to 32";
            return std::nullopt;
        }
        if ((*first & ~Mask(prefix)) != 0) {
            problem = quoted + " has bits set past its /" + std::to_string(prefix) + ": the range is " +
                      DottedQuadText(*first & Mask(prefix)) + "/" + std::to_string(prefix);
            return std::nullopt;
        }
    }
    std::string text = DottedQuadText(*first);
    if (prefix < 32)
        text += "/" + std::to_string(prefix);
    return BanEntry{BanEntry::Kind::Address, std::move(text), *first, prefix};
}

} // namespace

std::string BanEntry::Text() const
{
    return std::string(kind == Kind::Nick ? kNickWord : kAddressWord) + " " + value;
}

bool BanEntry::Covers(std::uint32_t address) const
{
    return kind == Kind::Address && (address & Mask(prefix)) == first;
}

std::optional<BanEntry> BanList::Parse(std::string_view kind, std::string_view value, std::string& problem)
{
    if (kind == kNickWord)
        return ParseNick(value, problem);
    if (kind == kAddressWord || (kind.empty() && (LooksLikeIpv4(value) || LooksLikeIpv6(value))))
        return ParseAddress(value, problem);
    if (kind.empty())
        return ParseNick(value, problem);
    problem = "a ban names a nick or an address (\"nick NAME\" or \"address A.B.C.D[/N]\"), not \"" + std::string(kind) + "\"";
    return std::nullopt;
}

void BanList::Load(std::string_view text)
{
    std::vector<BanEntry> loaded;
    std::size_t number = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            continue;
        const std::size_t space = line.find(' ');
        std::string problem;
        const auto entry = Parse(line.substr(0, space), space == std::string_view::npos ? "" : line.substr(space + 1), problem);
        if (!entry)
            throw Exception("line " + std::to_string(number) + ": " + problem);
        if (std::none_of(loaded.begin(), loaded.end(), [&](const BanEntry& other) { return SameEntry(other, *entry); }))
            loaded.push_back(*entry);
    }
    entries_ = std::move(loaded);
    Rebuild();
}

std::string BanList::FileText() const
{
    std::string text = "# The lobby's bans, one a line (lobbyctl ban, lobbyctl unban).\n";
    for (const BanEntry& entry : entries_)
        text += entry.Text() + "\n";
    return text;
}

bool BanList::Contains(const BanEntry& entry) const
{
    return std::any_of(entries_.begin(), entries_.end(), [&](const BanEntry& other) { return SameEntry(other, entry); });
}

bool BanList::Add(const BanEntry& entry)
{
    if (Contains(entry))
        return false;
    entries_.push_back(entry);
    Rebuild();
    return true;
}

bool BanList::Remove(const BanEntry& entry)
{
    const auto found =
        std::find_if(entries_.begin(), entries_.end(), [&](const BanEntry& other) { return SameEntry(other, entry); });
    if (found == entries_.end())
        return false;
    entries_.erase(found);
    Rebuild();
    return true;
}

bool BanList::BansAddress(std::string_view address) const
{
    const auto parsed = ParseDottedQuad(address);
    if (!parsed)
        return false;
    for (const int prefix : prefixes_) {
        if (addresses_.count(Key(prefix, *parsed & Mask(prefix))) > 0)
            return true;
    }
    return false;
}

bool BanList::BansNick(std::string_view nick) const
{
    return nicks_.count(UpperCaseAscii(nick)) > 0;
}

void BanList::Rebuild()
{
    addresses_.clear();
    prefixes_.clear();
    nicks_.clear();
    for (const BanEntry& entry : entries_) {
        if (entry.kind == BanEntry::Kind::Nick) {
            nicks_.insert(UpperCaseAscii(entry.value));
            continue;
        }
        addresses_.insert(Key(entry.prefix, entry.first));
        if (std::find(prefixes_.begin(), prefixes_.end(), entry.prefix) == prefixes_.end())
            prefixes_.push_back(entry.prefix);
    }
    std::sort(prefixes_.rbegin(), prefixes_.rend());
}

} // namespace lobby
