#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server/registry/nick_index.h"
#include "server/registry/registry_snapshot.h"
#include "server/registry/row_order.h"
#include "server/registry/row_store.h"

namespace lobby {

// What loading a registry file met that the table cannot hold as the file has it. Lines are
// counted from 1; 0 stands for none.
struct LoadFindings {
    std::size_t nulLine = 0;        // a NUL byte on this line ends the text read
    std::size_t longLines = 0;      // lines cut at the longest a line is read
    std::size_t firstLongLine = 0;
    std::size_t extraLines = 0;     // lines with text past the cells read: after the last
    std::size_t firstExtraLine = 0; // comma, or in a seventh field and on
    std::vector<int> badScoreRows;  // player rows whose score is no integer, in row order
    // The first line does not read as the header: it is a player row, and a header row was
    // put above it (only when the load was given a header line).
    bool headerMissing = false;
    // Lines whose nick (not empty) another line above has too, a-z in either case: each such
    // line with the line of the first one, the one logins find.
    struct DuplicateNick {
        std::size_t line;
        std::size_t firstLine;
    };
    std::vector<DuplicateNick> duplicateNicks;
    // Every byte of the file is in the table (the presence marker included).
    bool ReadWhole() const { return nulLine == 0 && longLines == 0 && extraLines == 0; }
    // The file's line that a row of the loaded table came from.
    std::size_t LineOfRow(int row) const { return static_cast<std::size_t>(row) + (headerMissing ? 0 : 1); }
};

// Told of every change to the registry table, so a view can follow it live. The About
// call comes before the change, the other after it (as item views need).
class RegistryObserver {
public:
    virtual ~RegistryObserver() = default;
    virtual void RowCountAboutToChange(int oldCount, int newCount) = 0;
    virtual void RowCountChanged(int oldCount, int newCount) = 0;
    // Any cell of rows firstRow..lastRow may have changed.
    virtual void RowsChanged(int firstRow, int lastRow) = 0;
};

// The player registry: a table of text cells, 6 columns by RowCount rows, row 0 the header.
// Columns: presence marker (">" online, "*" pinged, empty offline), nick, password, address,
// score (decimal text), flag. Every cell is text; scores are read by the integer rule when
// used. It is both the server's memory of its players and what the window shows.
//
// Built to hold a million players and to keep a score report as cheap at that size as at a
// thousand:
// - Every row has an identity that it keeps while sorts move it; the order of identities is
//   kept apart (RowOrder), so a player who climbs from last to first is one move of a few
//   microseconds, not a million rows shifted.
// - Rows are stored as their registry file lines (RowStore), in chunks that a background save
//   shares with the table: a snapshot for a save is taken in about a millisecond and stays
//   exactly as it was while the table changes.
// - Logins go through a case-blind nick index; the online players are a set ordered by row.
// - The score sort gives exactly the order (and, on a bad score, exactly the partial
//   exchanges and the error) of the row-by-row exchange sort it stands for. It remembers
//   which rows may be out of order since the last sort, so a sort after one report places
//   that one row by binary search.
class Registry {
public:
    static constexpr int kColCount = 6;
    enum Column { kMarker = 0, kNick = 1, kPassword = 2, kAddress = 3, kScore = 4, kFlag = 5 };
    using RowId = RowStore::Id;

    // Orders identities by the row they stand in.
    class ByRow {
    public:
        explicit ByRow(const RowOrder* order) : order_(order) {}
        bool operator()(RowId a, RowId b) const { return order_->PositionOf(a) < order_->PositionOf(b); }

    private:
        const RowOrder* order_;
    };
    using OnlineSet = std::set<RowId, ByRow>;

    Registry();
    Registry(Registry&&) noexcept;
    Registry& operator=(Registry&&) noexcept;
    ~Registry();

    int RowCount() const { return order_->Size(); }
    // Grows with empty rows or drops rows from the end; never below one row. A single row
    // leaves no fixed header row.
    void SetRowCount(int count);

    int FixedRows() const { return fixedRows_; }
    void SetFixedRows(int count);

    // An out-of-range cell reads as empty; writing one raises "Grid index out of range".
    std::string_view Cell(int col, int row) const;
    void SetCell(int col, int row, std::string_view text);
    bool IsOnline(int row) const;

    // A row's identity stays with the player through sorts; rows dropped from the end (or a
    // table loaded anew) take theirs along.
    RowId IdOfRow(int row) const { return order_->At(row); }
    int RowOfId(RowId id) const { return order_->PositionOf(id); }
    bool HasRow(RowId id) const { return order_->Contains(id); }
    std::string_view CellOf(RowId id, int col) const;
    // False for an identity no longer in the table.
    bool IsOnlineId(RowId id) const { return HasRow(id) && id < marks_.size() && marks_[id] != kMarkNone && RowOfId(id) >= 1; }

    // The online players (marker not empty, header never), in row order. Kept up to date
    // through every change, so walking them costs nothing per offline player.
    const OnlineSet& Online() const { return online_; }
    // The same as row numbers, for checks and views.
    std::set<int> OnlineRows() const;
    // Calls visit(id) for every player online now, in row order, skipping one that is no
    // longer online (or no longer in the table) when its turn comes. For walks that send: a
    // send may dispatch events (while it waits for a host-name lookup) whose handlers change
    // the table, so the walk goes over a copy of the online set taken at its start.
    template <typename Visit>
    void ForEachOnline(Visit&& visit)
    {
        // The outermost walk copies into a buffer kept from walk to walk (a broadcast runs for
        // every request); a walk nested in another's lookup copies into one of its own.
        std::vector<RowId> nested;
        std::vector<RowId>& online = walking_ ? nested : walkBuffer_;
        struct Walking {
            bool& flag;
            bool was;
            ~Walking() { flag = was; }
        } walking{walking_, walking_};
        walking_ = true;
        online.assign(online_.begin(), online_.end());
        for (const RowId id : online) {
            if (IsOnlineId(id))
                visit(id);
        }
    }

    // The player's row (>= 1), 0 for an unknown nick, -1 for a known nick with another
    // password. Nick and password are compared with a-z read as A-Z. Of rows with one nick
    // (a hand-edited file) the one first in the file at the load wins, or, among rows added
    // since, the oldest: sorts that move the rows never change which one a login finds. A
    // match marks the row online.
    std::int32_t CheckLogin(std::string_view nick, std::string_view password)
    {
        return CheckLoginAt(NickRow(nick), password);
    }
    // The row CheckLogin would match for nick, 0 when none; changes nothing.
    int NickRow(std::string_view nick) const { return FindNick(nick).value_or(0); }
    // CheckLogin for a nick looked up already: row is what NickRow gave for it, with nothing
    // changed in the table since. So a request's nick is looked up once.
    std::int32_t CheckLoginAt(int row, std::string_view password);

    // Appends a player who is online, scores 0 and flies the "-" flag; returns its row.
    int AddPlayer(std::string_view nick, std::string_view password, std::string_view address);
    // Takes a player row out of the table; the rows below move up one. The order of the rest
    // stays, so a sorted table stays sorted. Raises "Grid index out of range" for the header
    // or a row that is not there.
    void RemovePlayer(int row);

    // Orders the player rows by descending score, keeping equal scores in their order. A
    // score that is not an integer raises EConvertError once the exchange sort would have
    // read it, with the rows it would have exchanged by then exchanged.
    void SortByScore();
    // Whether SortByScore raises now: some player row's score is no integer and there are
    // rows enough to sort.
    bool SortFails() const { return RowCount() >= 3 && !badScores_.empty(); }
    // The player rows whose score is no integer, in row order.
    std::vector<int> BadScoreRows() const;

    // Replaces the whole table with the rows of a registry file's text: one row a line (a CR,
    // an LF or the pair ends one), a NUL byte ends the text, a line is read at most 4096
    // characters long, each comma ends a cell, the text after the last comma and the cells
    // past the sixth are dropped. While the rows are filled, doneBefore, when given, is told
    // now and then the offset before which text will not be read again, so the caller can
    // free it. findings, when given, is told what the table could not take as it stands.
    // header, when given, is the line row 0 is made of when the text's first line does not
    // read as a header (its second cell is not "Nick"): every line is then a player row.
    void LoadFromText(std::string_view text, const std::function<void(std::size_t offset)>& doneBefore = {},
                      LoadFindings* findings = nullptr, std::string_view header = {});
    // The registry file's text for the whole table: one CR LF line per row, header first.
    std::string SaveToText() const;

    // The table as it is now, for a save that may run on another thread: it stays exactly so,
    // whatever changes follow, until SnapshotReleased. One snapshot at a time.
    RegistrySnapshot Snapshot();
    // The snapshot taken last is no longer read by anyone.
    void SnapshotReleased() { rows_.Thaw(); }

    // The view to tell of changes; null for none.
    void SetObserver(RegistryObserver* observer) { observer_ = observer; }

private:
    enum Mark : std::uint8_t { kMarkNone = 0, kMarkOnline = 1, kMarkPinged = 2, kMarkOther = 3 };
    // Rows that may be out of order since the last sort, at most this many; past it the next
    // sort looks at the whole table.
    static constexpr std::size_t kMaxUnsorted = 64;

    RowId NewRow();
    void StoreCell(RowId id, int col, std::string_view text);
    void StoreMarker(RowId id, std::string_view text);
    void StoreScore(RowId id, std::int32_t score, bool valid);
    void Index(RowId id);
    void Unindex(RowId id);
    std::optional<int> FindNick(std::string_view nick) const;
    // The oldest identity whose nick matches nick, a-z in either case.
    std::optional<RowId> FirstIdWithNick(std::string_view nick) const;
    // Indexes the loaded player rows, noting in found the lines whose nick an earlier line has.
    void IndexLoadedRows(int count, LoadFindings& found);
    std::int32_t ScoreAt(int row) const { return rows_.Get(order_->At(row)).score; }

    // The sort's bookkeeping: whether the row of id, whose score just changed, still stands
    // in order between its neighbours, and the list of those that may not.
    void NoteScoreChange(RowId id);
    bool StandsInOrder(int row) const;
    bool Unsorted(RowId id) const;
    void ForgetUnsorted(RowId id);
    void SortWhole();
    void MoveIntoPlace(RowId id);
    void MergeIntoPlace();
    void ExchangePrefixUpTo(int badRow);
    void RebuildOnline();
    void RowsChanged(int firstRow, int lastRow);

    RowStore rows_;
    std::unique_ptr<RowOrder> order_; // on the heap, so the online set's comparator survives moves
    std::vector<std::uint8_t> marks_;  // presence marker by identity
    std::unordered_map<RowId, std::string> otherMarks_; // markers other than ">" and "*" (from a file)
    OnlineSet online_;
    std::vector<RowId> walkBuffer_; // ForEachOnline's copy of the online set
    bool walking_ = false;
    NickIndex nickIndex_;
    std::unordered_set<RowId> badScores_; // player rows whose score is not an integer
    bool ordered_ = false;           // every row not in unsorted_ stands in score order
    std::vector<RowId> unsorted_;
    int fixedRows_ = 1;
    RegistryObserver* observer_ = nullptr;
};

// a-z read as A-Z; every other byte as it is.
std::string UpperCaseAscii(std::string_view text);
bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b);

} // namespace lobby
