#include "server/registry/registry.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/exception.h"
#include "server/registry/integer_text.h"

namespace lobby {

namespace {

// A line of the registry file is read back at most this long; the rest of it is cut.
constexpr std::size_t kMaxLineLength = 4096;

char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The line that starts at pos, moving pos past its line end: a CR, an LF or the pair. A line
// end after the last line adds no line.
std::optional<std::string_view> NextLine(std::string_view text, std::size_t& pos)
{
    if (pos >= text.size())
        return std::nullopt;
    const std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) {
        const std::string_view line = text.substr(pos);
        pos = text.size();
        return line;
    }
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (text[end] == '\r' && pos < text.size() && text[pos] == '\n')
        ++pos;
    return line;
}

// Fills row from one file line: each comma ends a field; the text after the last comma and
// fields past the sixth are dropped; the first field (the presence marker) is returned, the
// other five become the row's line in the server's own form. used: the bytes of the line
// that went into fields, commas included.
std::string_view FillRow(RegistryRow& row, std::string_view line, std::size_t& used)
{
    std::array<std::string_view, Registry::kColCount> fields{};
    std::size_t fieldStart = 0;
    for (std::string_view& field : fields) {
        const std::size_t comma = line.find(',', fieldStart);
        if (comma == std::string_view::npos)
            break;
        field = line.substr(fieldStart, comma - fieldStart);
        fieldStart = comma + 1;
    }
    used = fieldStart;
    row.SetCells(fields);
    const auto score = TryStrToInt(fields[Registry::kScore]);
    row.scoreValid = score.has_value();
    row.score = score.value_or(0);
    return fields[Registry::kMarker];
}

// The first line of text, as a load reads it.
std::string_view FirstLine(std::string_view text)
{
    std::size_t pos = 0;
    return NextLine(text, pos).value_or(std::string_view()).substr(0, kMaxLineLength);
}

// Whether a registry line is the header: its second cell is "Nick", as the server writes it.
bool ReadsAsHeader(std::string_view line)
{
    const std::size_t first = line.find(',');
    if (first == std::string_view::npos)
        return false;
    const std::size_t second = line.find(',', first + 1);
    return second != std::string_view::npos && line.substr(first + 1, second - first - 1) == "Nick";
}

} // namespace

std::string UpperCaseAscii(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper)
        c = UpperAscii(c);
    return upper;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    // A player mostly types the nick and password as registered: one comparison of the bytes.
    if (a == b)
        return true;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i]))
            return false;
    }
    return true;
}

Registry::Registry() : order_(std::make_unique<RowOrder>()), online_(ByRow(order_.get()))
{
    // As the window is designed: a header row and one empty row, until a file is loaded.
    SetRowCount(2);
}

Registry::Registry(Registry&&) noexcept = default;
Registry& Registry::operator=(Registry&&) noexcept = default;
Registry::~Registry() = default;

Registry::RowId Registry::NewRow()
{
    const RowId id = rows_.Add();
    if (marks_.size() <= id)
        marks_.resize(static_cast<std::size_t>(id) + 1, kMarkNone);
    marks_[id] = kMarkNone;
    return id;
}

void Registry::SetRowCount(int count)
{
    count = std::max(count, 1);
    const int old = RowCount();
    if (count == old)
        return;
    if (observer_)
        observer_->RowCountAboutToChange(old, count);
    for (int r = old - 1; r >= count; --r) {
        const RowId id = order_->At(r);
        if (r >= 1) {
            Unindex(id);
            online_.erase(id);
            badScores_.erase(id);
            ForgetUnsorted(id);
        }
        otherMarks_.erase(id);
    }
    order_->Truncate(count);
    for (int r = old; r < count; ++r) {
        const RowId id = NewRow();
        order_->PushBack(id);
        if (r >= 1) {
            Index(id);
            badScores_.insert(id); // an empty score cell is no integer
            NoteScoreChange(id);
        }
    }
    if (fixedRows_ >= count)
        fixedRows_ = count - 1;
    if (observer_)
        observer_->RowCountChanged(old, count);
}

void Registry::SetFixedRows(int count)
{
    if (count < 0 || count >= RowCount())
        throw Exception("Fixed row count must be less than row count");
    fixedRows_ = count;
    RowsChanged(0, 0);
}

std::string_view Registry::Cell(int col, int row) const
{
    if (col < 0 || col >= kColCount || row < 0 || row >= RowCount())
        return {};
    return CellOf(order_->At(row), col);
}

std::string_view Registry::CellOf(RowId id, int col) const
{
    if (col != kMarker)
        return rows_.Get(id).Cell(col);
    switch (marks_[id]) {
    case kMarkNone:
        return {};
    case kMarkOnline:
        return ">";
    case kMarkPinged:
        return "*";
    default:
        return otherMarks_.at(id);
    }
}

bool Registry::IsOnline(int row) const
{
    if (row < 0 || row >= RowCount())
        return false;
    return marks_[order_->At(row)] != kMarkNone;
}

std::set<int> Registry::OnlineRows() const
{
    std::set<int> rows;
    for (const RowId id : online_)
        rows.insert(RowOfId(id));
    return rows;
}

void Registry::SetCell(int col, int row, std::string_view text)
{
    if (col < 0 || col >= kColCount || row < 0 || row >= RowCount())
        throw Exception("Grid index out of range");
    const RowId id = order_->At(row);
    // Logins and flags mostly store what the cell holds already (a player online marked
    // online again): nothing to change, index or show.
    if (CellOf(id, col) == text)
        return;
    if (col == kNick && row >= 1) {
        Unindex(id);
        StoreCell(id, col, text);
        Index(id);
    } else {
        StoreCell(id, col, text);
    }
    RowsChanged(row, row);
}

void Registry::StoreCell(RowId id, int col, std::string_view text)
{
    if (col == kMarker) {
        StoreMarker(id, text);
        return;
    }
    rows_.Mutable(id).SetCell(col, text);
    if (col == kScore) {
        const auto score = TryStrToInt(text);
        StoreScore(id, score.value_or(0), score.has_value());
    }
}

void Registry::StoreMarker(RowId id, std::string_view text)
{
    otherMarks_.erase(id);
    if (text.empty())
        marks_[id] = kMarkNone;
    else if (text == ">")
        marks_[id] = kMarkOnline;
    else if (text == "*")
        marks_[id] = kMarkPinged;
    else {
        marks_[id] = kMarkOther;
        otherMarks_.emplace(id, text);
    }
    if (RowOfId(id) < 1)
        return; // the header row is nobody
    if (text.empty())
        online_.erase(id);
    else
        online_.insert(id);
}

void Registry::StoreScore(RowId id, std::int32_t score, bool valid)
{
    RegistryRow& row = rows_.Mutable(id);
    row.score = score;
    row.scoreValid = valid;
    if (RowOfId(id) < 1)
        return;
    if (valid)
        badScores_.erase(id);
    else
        badScores_.insert(id);
    NoteScoreChange(id);
}

void Registry::Index(RowId id)
{
    nickIndex_.Insert(NickIndex::Hash(rows_.Get(id).Cell(kNick)), id);
}

void Registry::Unindex(RowId id)
{
    nickIndex_.Erase(NickIndex::Hash(rows_.Get(id).Cell(kNick)), id);
}

// The row of the oldest identity whose nick matches: identities follow the file's order at a
// load and the order of registration after it, so the answer stays whatever the sorts do.
std::optional<int> Registry::FindNick(std::string_view nick) const
{
    const std::optional<RowId> id = FirstIdWithNick(nick);
    if (!id)
        return std::nullopt;
    return RowOfId(*id);
}

std::optional<Registry::RowId> Registry::FirstIdWithNick(std::string_view nick) const
{
    std::optional<RowId> first;
    nickIndex_.ForEach(NickIndex::Hash(nick), [&](RowId id) {
        if (first && *first < id)
            return;
        if (EqualIgnoringAsciiCase(rows_.Get(id).Cell(kNick), nick))
            first = id;
    });
    return first;
}

std::vector<int> Registry::BadScoreRows() const
{
    std::vector<int> rows;
    rows.reserve(badScores_.size());
    for (const RowId id : badScores_)
        rows.push_back(RowOfId(id));
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::int32_t Registry::CheckLoginAt(int row, std::string_view password)
{
    if (row == 0)
        return 0;
    if (!EqualIgnoringAsciiCase(Cell(kPassword, row), password))
        return -1;
    SetCell(kMarker, row, ">");
    return row;
}

int Registry::AddPlayer(std::string_view nick, std::string_view password, std::string_view address)
{
    const int row = RowCount();
    SetRowCount(row + 1);
    SetCell(kMarker, row, ">");
    SetCell(kNick, row, nick);
    SetCell(kPassword, row, password);
    SetCell(kAddress, row, address);
    SetCell(kScore, row, "0");
    SetCell(kFlag, row, "-");
    return row;
}

void Registry::RemovePlayer(int row)
{
    const int old = RowCount();
    if (row < 1 || row >= old)
        throw Exception("Grid index out of range");
    if (observer_)
        observer_->RowCountAboutToChange(old, old - 1);
    const RowId id = order_->At(row);
    Unindex(id);
    online_.erase(id);
    badScores_.erase(id);
    ForgetUnsorted(id);
    otherMarks_.erase(id);
    marks_[id] = kMarkNone;
    order_->Erase(row); // the row's line stays in the store, unreachable, until the next load
    if (fixedRows_ >= old - 1)
        fixedRows_ = old - 2;
    if (observer_) {
        observer_->RowCountChanged(old, old - 1);
        observer_->RowsChanged(row, old - 2);
    }
}

bool Registry::Unsorted(RowId id) const
{
    return std::find(unsorted_.begin(), unsorted_.end(), id) != unsorted_.end();
}

void Registry::ForgetUnsorted(RowId id)
{
    const auto found = std::find(unsorted_.begin(), unsorted_.end(), id);
    if (found != unsorted_.end())
        unsorted_.erase(found);
}

// Whether the player row, whose score is an integer, stands between neighbours that are in
// order and score no less above and no more below. Only then does the table stay sorted but
// for the rows listed as unsorted.
bool Registry::StandsInOrder(int row) const
{
    const RegistryRow& self = rows_.Get(order_->At(row));
    if (!self.scoreValid)
        return false;
    if (row > 1) {
        const RowId above = order_->At(row - 1);
        const RegistryRow& other = rows_.Get(above);
        if (!other.scoreValid || Unsorted(above) || other.score < self.score)
            return false;
    }
    if (row + 1 < RowCount()) {
        const RowId below = order_->At(row + 1);
        const RegistryRow& other = rows_.Get(below);
        if (!other.scoreValid || Unsorted(below) || other.score > self.score)
            return false;
    }
    return true;
}

void Registry::NoteScoreChange(RowId id)
{
    if (!ordered_)
        return;
    const bool listed = Unsorted(id);
    if (StandsInOrder(RowOfId(id))) {
        if (listed)
            ForgetUnsorted(id);
        return;
    }
    if (listed)
        return;
    if (unsorted_.size() >= kMaxUnsorted) {
        ordered_ = false;
        unsorted_.clear();
        return;
    }
    unsorted_.push_back(id);
}

void Registry::SortByScore()
{
    const int count = RowCount();
    if (count < 3)
        return;

    // The exchange sort's first pass reads every score in row order, so the first score that
    // is not an integer is met there, after the exchanges among the rows above it.
    if (!badScores_.empty()) {
        int badRow = count;
        for (const RowId id : badScores_)
            badRow = std::min(badRow, RowOfId(id));
        ExchangePrefixUpTo(badRow);
        StrToInt(Cell(kScore, badRow)); // raises with the cell's text
    }

    if (!ordered_)
        SortWhole();
    else if (unsorted_.size() == 1)
        MoveIntoPlace(unsorted_.front());
    else if (!unsorted_.empty())
        MergeIntoPlace();
    ordered_ = true;
    unsorted_.clear();
}

// A stable sort of the rows between the first one that some later row outscores and the last
// one that outscores some earlier row; the rows outside are already in place. What repeated
// exchanges of neighbours, a lower score above a higher one, give.
void Registry::SortWhole()
{
    std::vector<RowId> ids;
    order_->AppendTo(ids);
    const int count = static_cast<int>(ids.size());
    const auto score = [&](int row) { return rows_.Get(ids[static_cast<std::size_t>(row)]).score; };

    int first = 0;
    std::int32_t bestBelow = score(count - 1);
    for (int r = count - 2; r >= 1; --r) {
        if (score(r) < bestBelow)
            first = r;
        bestBelow = std::max(bestBelow, score(r));
    }
    if (first == 0)
        return; // already in order: nothing moves
    int last = first;
    std::int32_t worstAbove = score(first);
    for (int r = first + 1; r < count; ++r) {
        if (score(r) > worstAbove)
            last = r;
        worstAbove = std::min(worstAbove, score(r));
    }

    std::vector<RowId> range(ids.begin() + first, ids.begin() + last + 1);
    std::stable_sort(range.begin(), range.end(),
                     [&](RowId a, RowId b) { return rows_.Get(a).score > rows_.Get(b).score; });
    order_->Reorder(first, range);
    RebuildOnline();
    RowsChanged(first, last);
}

// The one row out of order goes where a stable sort puts it: up past every row above it that
// scores less, or down past every row below it that scores more. The rows it passes are in
// order, so its place is found by binary search.
void Registry::MoveIntoPlace(RowId id)
{
    const int from = RowOfId(id);
    const std::int32_t score = rows_.Get(id).score;
    int to = from;
    if (from > 1 && ScoreAt(from - 1) < score) {
        int low = 1;
        int high = from - 1; // ScoreAt(high) < score; find the first such row
        while (low < high) {
            const int middle = low + (high - low) / 2;
            if (ScoreAt(middle) < score)
                high = middle;
            else
                low = middle + 1;
        }
        to = low;
    } else if (from + 1 < RowCount() && ScoreAt(from + 1) > score) {
        int low = from + 1; // ScoreAt(low) > score; find the last such row
        int high = RowCount() - 1;
        while (low < high) {
            const int middle = low + (high - low + 1) / 2;
            if (ScoreAt(middle) > score)
                low = middle;
            else
                high = middle - 1;
        }
        to = low;
    }
    if (to == from)
        return;
    // Its place among the online players moves with it; everybody else keeps theirs.
    const bool online = online_.erase(id) > 0;
    order_->Move(from, to);
    if (online)
        online_.insert(id);
    RowsChanged(std::min(from, to), std::max(from, to));
}

// Several rows out of order: they are taken out, and each is put back where a stable sort of
// the whole table puts it. The rows left are in order, by score and, among equal scores, by
// the rows they stood in, so each place is found by binary search on that pair.
void Registry::MergeIntoPlace()
{
    struct Loose {
        RowId id;
        int row;           // where it stood before the sort
        std::int32_t score;
        bool online;
    };
    std::vector<Loose> loose;
    loose.reserve(unsorted_.size());
    for (const RowId id : unsorted_)
        loose.push_back({id, RowOfId(id), rows_.Get(id).score, false});
    std::sort(loose.begin(), loose.end(), [](const Loose& a, const Loose& b) { return a.row < b.row; });
    int firstChanged = loose.front().row;
    int lastChanged = loose.back().row;

    // Taken out from the last up, so the rows still to take keep their numbers. gap[i] tells
    // how the rows left map back: the one now at row j stood at j + (number of gap[i] <= j).
    std::vector<int> gap(loose.size());
    for (std::size_t i = loose.size(); i-- > 0;) {
        loose[i].online = online_.erase(loose[i].id) > 0;
        order_->Erase(loose[i].row);
    }
    for (std::size_t i = 0; i < loose.size(); ++i)
        gap[i] = loose[i].row - static_cast<int>(i);
    const auto stoodAt = [&](int row) {
        return row + static_cast<int>(std::upper_bound(gap.begin(), gap.end(), row) - gap.begin());
    };

    std::stable_sort(loose.begin(), loose.end(), [](const Loose& a, const Loose& b) { return a.score > b.score; });
    // Each one's place among the rows left, all found before any goes back: the r-th in sort
    // order then ends up r rows further down, behind the ones that sort before it.
    const int left = RowCount();
    std::vector<int> place(loose.size());
    for (std::size_t r = 0; r < loose.size(); ++r) {
        // The first row left that comes after this one: a lower score, or an equal one that
        // stood below it.
        int low = 1;
        int high = left;
        while (low < high) {
            const int middle = low + (high - low) / 2;
            const std::int32_t score = ScoreAt(middle);
            const bool after = score < loose[r].score || (score == loose[r].score && stoodAt(middle) > loose[r].row);
            if (after)
                high = middle;
            else
                low = middle + 1;
        }
        place[r] = low;
    }
    for (std::size_t r = 0; r < loose.size(); ++r) {
        const int to = place[r] + static_cast<int>(r);
        order_->Insert(to, loose[r].id);
        if (loose[r].online)
            online_.insert(loose[r].id);
        firstChanged = std::min(firstChanged, to);
        lastChanged = std::max(lastChanged, to);
    }
    RowsChanged(firstChanged, lastChanged);
}

// Replays the first exchange pass over rows 1..badRow-1, all of whose scores are integers:
// the exchanges made before the pass would read the bad score of row badRow.
void Registry::ExchangePrefixUpTo(int badRow)
{
    if (badRow < 3)
        return;
    std::vector<RowId> ids;
    order_->ForEach(1, badRow - 1, [&](int, RowId id) { ids.push_back(id); });
    bool moved = false;
    for (std::size_t r = 0; r + 1 < ids.size(); ++r) {
        if (rows_.Get(ids[r]).score < rows_.Get(ids[r + 1]).score) {
            std::swap(ids[r], ids[r + 1]);
            moved = true;
        }
    }
    if (!moved)
        return;
    order_->Reorder(1, ids);
    ordered_ = false;
    unsorted_.clear();
    RebuildOnline();
    RowsChanged(1, badRow - 1);
}

void Registry::RebuildOnline()
{
    const std::vector<RowId> ids(online_.begin(), online_.end());
    online_.clear();
    online_.insert(ids.begin(), ids.end());
}

void Registry::LoadFromText(std::string_view text, const std::function<void(std::size_t offset)>& doneBefore,
                            LoadFindings* findings, std::string_view header)
{
    LoadFindings found;
    const auto nul = text.find('\0');
    if (nul != std::string_view::npos)
        text = text.substr(0, nul);

    // Two walks over the lines, one to count them and one to fill the rows, rather than a list
    // of a million lines held beside the table while it is built.
    int lineCount = 0;
    for (std::size_t pos = 0; NextLine(text, pos);)
        ++lineCount;
    if (nul != std::string_view::npos) {
        const bool atLineStart = text.empty() || text.back() == '\r' || text.back() == '\n';
        found.nulLine = static_cast<std::size_t>(lineCount) + (atLineStart ? 1 : 0);
    }
    // A file whose header line was deleted by hand (or that is empty) gets one above its
    // lines, so its first player is not taken for the header.
    const int headerRows = !header.empty() && !ReadsAsHeader(FirstLine(text)) ? 1 : 0;
    found.headerMissing = headerRows == 1 && lineCount > 0;
    const int old = RowCount();
    const int count = std::max(1, lineCount + headerRows);
    if (observer_)
        observer_->RowCountAboutToChange(old, count);

    online_.clear();
    rows_.Clear();
    marks_.clear();
    otherMarks_.clear();
    nickIndex_.Clear();
    badScores_.clear();
    unsorted_.clear();
    rows_.Reserve(static_cast<std::uint32_t>(count));
    marks_.reserve(static_cast<std::size_t>(count));
    nickIndex_.Reserve(static_cast<std::size_t>(count));
    std::vector<RowId> ids(static_cast<std::size_t>(count));
    for (int r = 0; r < count; ++r)
        ids[static_cast<std::size_t>(r)] = static_cast<RowId>(r);
    order_->Assign(ids);
    ids = {};

    // Whether the rows stand in score order is learnt on the way, so that the first sort after
    // loading has only the rows out of place to look at.
    ordered_ = true;
    std::optional<std::int32_t> lastInOrder;
    std::size_t pos = 0;
    for (int r = 0; r < count; ++r) {
        const RowId id = NewRow();
        if (r < headerRows) {
            std::size_t used = 0;
            FillRow(rows_.Mutable(id), header, used);
            continue;
        }
        const auto next = NextLine(text, pos);
        if (!next)
            continue;
        if (doneBefore && (r & 0x3FFF) == 0)
            doneBefore(next->data() - text.data());
        RegistryRow& row = rows_.Mutable(id);
        const std::string_view line = next->substr(0, kMaxLineLength);
        std::size_t used = 0;
        const std::string_view marker = FillRow(row, line, used);
        if (!marker.empty())
            StoreMarker(id, marker);
        const auto lineNumber = static_cast<std::size_t>(r - headerRows) + 1;
        if (lineNumber == found.nulLine) {
            // The NUL byte cut this line already; that is what the operator is told of.
        } else if (line.size() < next->size()) {
            if (found.longLines++ == 0)
                found.firstLongLine = lineNumber;
        } else if (used < line.size()) {
            if (found.extraLines++ == 0)
                found.firstExtraLine = lineNumber;
        }
        if (r == 0)
            continue;
        if (!row.scoreValid) {
            badScores_.insert(id);
            found.badScoreRows.push_back(r);
        }
        if (!ordered_)
            continue;
        if (row.scoreValid && (!lastInOrder || row.score <= *lastInOrder)) {
            lastInOrder = row.score;
        } else if (unsorted_.size() < kMaxUnsorted) {
            unsorted_.push_back(id);
        } else {
            ordered_ = false;
            unsorted_.clear();
        }
    }
    // Lines missing at the end (an empty file) leave empty rows, whose scores are no integers.
    for (RowId id = static_cast<RowId>(lineCount + headerRows); id < static_cast<RowId>(count); ++id) {
        if (id >= 1)
            badScores_.insert(id);
    }
    IndexLoadedRows(count, found);
    if (fixedRows_ >= count)
        fixedRows_ = count - 1;

    if (observer_) {
        observer_->RowCountChanged(old, count);
        observer_->RowsChanged(0, count - 1);
    }
    if (findings)
        *findings = std::move(found);
}

// Rows 1..count-1 have identities 1..count-1, in the file's order, so the first of a nick is
// the one already indexed when a later one comes. A blank nick is no player's: such rows are
// told as blank, not as duplicates.
void Registry::IndexLoadedRows(int count, LoadFindings& found)
{
    for (int r = 1; r < count; ++r) {
        const auto id = static_cast<RowId>(r);
        const std::string_view nick = rows_.Get(id).Cell(kNick);
        if (!nick.empty()) {
            if (const std::optional<RowId> first = FirstIdWithNick(nick))
                found.duplicateNicks.push_back({found.LineOfRow(r), found.LineOfRow(static_cast<int>(*first))});
        }
        Index(id);
    }
}

std::string Registry::SaveToText() const
{
    std::size_t size = 0;
    order_->ForEach(0, RowCount() - 1, [&](int, RowId id) { size += rows_.Get(id).Line().size(); });
    std::string text;
    text.reserve(size);
    order_->ForEach(0, RowCount() - 1, [&](int, RowId id) { text += rows_.Get(id).Line(); });
    return text;
}

RegistrySnapshot Registry::Snapshot()
{
    RegistrySnapshot snapshot;
    order_->AppendTo(snapshot.order);
    snapshot.chunks = rows_.Freeze();
    return snapshot;
}

void Registry::RowsChanged(int firstRow, int lastRow)
{
    if (observer_)
        observer_->RowsChanged(firstRow, lastRow);
}

} // namespace lobby
