#include "server/registry.h"

#include <algorithm>
#include <cstring>

#include "platform/exception.h"
#include "server/integer_text.h"

namespace {

constexpr std::uint32_t kNoRow = 0xFFFFFFFFu;
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
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i]))
            return false;
    }
    return true;
}

Registry::Registry()
{
    // As the window is designed: a header row and one empty row, until a file is loaded.
    SetRowCount(2);
}

Registry::Row Registry::NewRow()
{
    Row row;
    row.id = static_cast<std::uint32_t>(rowOfId_.size());
    rowOfId_.push_back(kNoRow);
    return row;
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
        if (r >= 1)
            Unindex(rows_[r]);
        onlineRows_.erase(r);
        rowOfId_[rows_[r].id] = kNoRow;
    }
    if (count < old)
        rows_.resize(count);
    for (int r = old; r < count; ++r) {
        rows_.push_back(NewRow());
        rowOfId_[rows_[r].id] = static_cast<std::uint32_t>(r);
        if (r >= 1)
            Index(rows_[r]);
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
    return rows_[row].CellText(col);
}

void Registry::SetCell(int col, int row, std::string_view text)
{
    if (col < 0 || col >= kColCount || row < 0 || row >= RowCount())
        throw Exception("Grid index out of range");
    Row& target = rows_[row];
    // Logins and flags mostly store what the cell holds already (a player online marked
    // online again): nothing to change, index or show.
    if (target.CellText(col) == text)
        return;
    if (col == kNick && row >= 1) {
        Unindex(target);
        StoreCell(row, col, text);
        Index(target);
    } else {
        StoreCell(row, col, text);
    }
    RowsChanged(row, row);
}

void Registry::StoreCell(int rowIndex, int col, std::string_view text)
{
    Row& row = rows_[rowIndex];
    const std::uint16_t begin = col == 0 ? 0 : row.ends[col - 1];
    const std::uint16_t end = row.ends[col];
    const std::size_t newSize = row.bytes.size() - (end - begin) + text.size();
    // Cells come from registry lines (at most 4096 bytes) and datagrams (at most 2048), so a
    // row never nears this; refusing beats wrapping the 16-bit cell ends.
    if (newSize > 0xFFFF)
        throw Exception("Grid cell text too long");
    row.bytes.replace(begin, end - begin, text);
    const int delta = static_cast<int>(text.size()) - (end - begin);
    for (int c = col; c < kColCount; ++c)
        row.ends[c] = static_cast<std::uint16_t>(row.ends[c] + delta);
    if (col == kScore) {
        const auto score = TryStrToInt(text);
        row.scoreValid = score.has_value();
        row.score = score.value_or(0);
    }
    if (col == kMarker && rowIndex >= 1) {
        if (text.empty())
            onlineRows_.erase(rowIndex);
        else
            onlineRows_.insert(rowIndex);
    }
}

// Runs move, which reorders rows firstRow..lastRow among themselves, keeping the identities'
// rows and the online set true to the new order.
void Registry::MoveRowsTracked(int firstRow, int lastRow, const std::function<void()>& move)
{
    onlineRows_.erase(onlineRows_.lower_bound(firstRow), onlineRows_.upper_bound(lastRow));
    move();
    for (int r = firstRow; r <= lastRow; ++r) {
        rowOfId_[rows_[r].id] = static_cast<std::uint32_t>(r);
        if (rows_[r].ends[kMarker] != 0)
            onlineRows_.insert(r);
    }
    RowsChanged(firstRow, lastRow);
}

void Registry::Index(const Row& row)
{
    nickIndex_.Insert(NickIndex::Hash(row.CellText(kNick)), row.id);
}

void Registry::Unindex(const Row& row)
{
    nickIndex_.Erase(NickIndex::Hash(row.CellText(kNick)), row.id);
}

// The first (lowest) player row whose nick matches, letter case of a-z aside.
std::optional<int> Registry::FindNick(std::string_view nick) const
{
    std::uint32_t best = kNoRow;
    nickIndex_.ForEach(NickIndex::Hash(nick), [&](std::uint32_t id) {
        const std::uint32_t row = rowOfId_[id];
        if (row < best && EqualIgnoringAsciiCase(rows_[row].CellText(kNick), nick))
            best = row;
    });
    if (best == kNoRow)
        return std::nullopt;
    return static_cast<int>(best);
}

std::int32_t Registry::CheckLogin(std::string_view nick, std::string_view password)
{
    const auto row = FindNick(nick);
    if (!row)
        return 0;
    if (!EqualIgnoringAsciiCase(rows_[*row].CellText(kPassword), password))
        return -1;
    SetCell(kMarker, *row, ">");
    return *row;
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

void Registry::SortByScore()
{
    const int count = RowCount();
    if (count < 3)
        return;

    // The exchange sort's first pass reads every score in row order, so the first score that
    // is not an integer is met there, after the exchanges among the rows above it.
    for (int r = 1; r < count; ++r) {
        if (!rows_[r].scoreValid) {
            ExchangePrefixUpTo(r);
            StrToInt(rows_[r].CellText(kScore)); // raises with the cell's text
        }
    }

    // Only the rows between the first one that some later row outscores and the last one
    // that outscores some earlier row can move; the rows outside are already in place.
    int first = 0;
    std::int32_t bestBelow = rows_[count - 1].score;
    for (int r = count - 2; r >= 1; --r) {
        if (rows_[r].score < bestBelow)
            first = r;
        bestBelow = std::max(bestBelow, rows_[r].score);
    }
    if (first == 0)
        return; // already in order: nothing moves
    int last = first;
    std::int32_t worstAbove = rows_[first].score;
    for (int r = first + 1; r < count; ++r) {
        if (rows_[r].score > worstAbove)
            last = r;
        worstAbove = std::min(worstAbove, rows_[r].score);
    }

    // A stable sort gives what repeated exchanges of neighbours, a lower score above a
    // higher one, give.
    struct Key {
        std::int32_t score;
        std::uint32_t row;
    };
    std::vector<Key> keys;
    keys.reserve(static_cast<std::size_t>(last - first + 1));
    for (int r = first; r <= last; ++r)
        keys.push_back(Key{rows_[r].score, static_cast<std::uint32_t>(r)});
    std::stable_sort(keys.begin(), keys.end(),
                     [](const Key& a, const Key& b) { return a.score > b.score; });

    MoveRowsTracked(first, last, [&] {
        std::vector<Row> sorted;
        sorted.reserve(keys.size());
        for (const Key& key : keys)
            sorted.push_back(std::move(rows_[key.row]));
        std::move(sorted.begin(), sorted.end(), rows_.begin() + first);
    });
}

// Replays the first exchange pass over rows 1..badRow-1, all of whose scores are integers:
// the exchanges made before the pass would read the bad score of row badRow.
void Registry::ExchangePrefixUpTo(int badRow)
{
    if (badRow < 3)
        return;
    MoveRowsTracked(1, badRow - 1, [&] {
        for (int r = 1; r + 1 < badRow; ++r) {
            if (rows_[r].score < rows_[r + 1].score)
                std::swap(rows_[r], rows_[r + 1]);
        }
    });
}

void Registry::LoadFromText(std::string_view text, const std::function<void(std::size_t offset)>& doneBefore)
{
    if (const auto nul = text.find('\0'); nul != std::string_view::npos)
        text = text.substr(0, nul);

    // Two walks over the lines, one to count them and one to fill the rows, rather than a list
    // of a million lines held beside the table while it is built.
    int lineCount = 0;
    for (std::size_t pos = 0; NextLine(text, pos);)
        ++lineCount;
    const int old = RowCount();
    const int count = std::max(1, lineCount);
    if (observer_)
        observer_->RowCountAboutToChange(old, count);
    RegistryObserver* observer = observer_;
    observer_ = nullptr; // one notice for the whole load, not one per cell

    rows_.clear();
    rowOfId_.clear();
    nickIndex_.Clear();
    onlineRows_.clear();
    nickIndex_.Reserve(static_cast<std::size_t>(count));
    rows_.reserve(static_cast<std::size_t>(count));
    std::size_t pos = 0;
    for (int r = 0; r < count; ++r) {
        rows_.push_back(NewRow());
        rowOfId_[rows_[r].id] = static_cast<std::uint32_t>(r);
        const auto next = NextLine(text, pos);
        if (!next)
            continue;
        if (doneBefore && (r & 0x3FFF) == 0)
            doneBefore(next->data() - text.data());
        // Each comma ends a field; the text after the last comma and fields past the sixth
        // are dropped. The row's bytes are built in one piece: this runs a million times.
        const std::string_view line = next->substr(0, kMaxLineLength);
        Row& row = rows_[r];
        row.bytes.reserve(line.size());
        std::size_t fieldStart = 0;
        int col = 0;
        for (; col < kColCount; ++col) {
            const std::size_t comma = line.find(',', fieldStart);
            if (comma == std::string_view::npos)
                break;
            row.bytes.append(line.substr(fieldStart, comma - fieldStart));
            row.ends[col] = static_cast<std::uint16_t>(row.bytes.size());
            fieldStart = comma + 1;
        }
        for (; col < kColCount; ++col)
            row.ends[col] = static_cast<std::uint16_t>(row.bytes.size());
        const auto score = TryStrToInt(row.CellText(kScore));
        row.scoreValid = score.has_value();
        row.score = score.value_or(0);
        if (r >= 1 && row.ends[kMarker] != 0)
            onlineRows_.insert(r);
    }
    for (int r = 1; r < count; ++r)
        Index(rows_[r]);
    if (fixedRows_ >= count)
        fixedRows_ = count - 1;

    observer_ = observer;
    if (observer_) {
        observer_->RowCountChanged(old, count);
        observer_->RowsChanged(0, count - 1);
    }
}

std::string Registry::SaveToText() const
{
    std::size_t size = 0;
    for (const Row& row : rows_)
        size += row.bytes.size() - row.ends[0] + 8;
    std::string text;
    text.reserve(size);
    for (const Row& row : rows_) {
        text += ',';
        for (int col = 1; col < kColCount; ++col) {
            text += row.CellText(col);
            text += ',';
        }
        text += "\r\n";
    }
    return text;
}

void Registry::RowsChanged(int firstRow, int lastRow)
{
    if (observer_)
        observer_->RowsChanged(firstRow, lastRow);
}
