#include "server/lobby/ban_list.h"

#include <algorithm>

#include "net/dotted_quad.h"
#include "platform/exception.h"
#include "server/registry/registry.h"

namespace lobby {

namespace {

constexpr std::string_view kNickWord = "nick";
constexpr std::string_view kAddressWord = "address";

bool SameEntry(const BanEntry& a, const BanEntry& b)
{
    if (a.kind != b.kind)
        return false;
    return a.kind == BanEntry::Kind::Nick ? EqualIgnoringAsciiCase(a.value, b.value) : a.value == b.value;
}

} // namespace

std::string BanEntry::Text() const
{
    return std::string(kind == Kind::Nick ? kNickWord : kAddressWord) + " " + value;
}

std::optional<BanEntry> BanList::Parse(std::string_view kind, std::string_view value, std::string& problem)
{
    if (kind == kNickWord) {
        // A nick no registry row can hold can never log in: banning it would only hide a typo.
        if (value.empty() || value.find_first_of(std::string_view("|,\r\n\0", 5)) != std::string_view::npos) {
            problem = "a nick to ban is not empty and holds no \"|\", \",\", line end or NUL byte";
            return std::nullopt;
        }
        return BanEntry{BanEntry::Kind::Nick, std::string(value)};
    }
    if (kind == kAddressWord) {
        if (!ParseDottedQuad(value)) {
            problem = "\"" + std::string(value) + "\" is no IPv4 address in dotted form (as 10.0.0.5)";
            return std::nullopt;
        }
        return BanEntry{BanEntry::Kind::Address, std::string(value)};
    }
    problem = "a ban names a nick or an address (\"nick NAME\" or \"address A.B.C.D\"), not \"" + std::string(kind) + "\"";
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
    return parsed && addresses_.count(*parsed) > 0;
}

bool BanList::BansNick(std::string_view nick) const
{
    return nicks_.count(UpperCaseAscii(nick)) > 0;
}

void BanList::Rebuild()
{
    addresses_.clear();
    nicks_.clear();
    for (const BanEntry& entry : entries_) {
        if (entry.kind == BanEntry::Kind::Nick)
            nicks_.insert(UpperCaseAscii(entry.value));
        else
            addresses_.insert(*ParseDottedQuad(entry.value));
    }
}

} // namespace lobby
