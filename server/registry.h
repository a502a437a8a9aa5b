#pragma once

#include <array>
#include <functional>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/nick_index.h"

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
// Built to hold a million players: each row keeps its six cells in one byte string, logins
// go through a case-blind nick index instead of a scan, and the score sort runs in
// O(n log n) while giving exactly the order (and, on a bad score, exactly the partial
// exchanges and the error) of the row-by-row exchange sort it stands for.
class Registry {
public:
    static constexpr int kColCount = 6;
    enum Column { kMarker = 0, kNick = 1, kPassword = 2, kAddress = 3, kScore = 4, kFlag = 5 };

    Registry();

    int RowCount() const { return static_cast<int>(rows_.size()); }
    // Grows with empty rows or drops rows from the end; never below one row. A single row
    // leaves no fixed header row.
    void SetRowCount(int count);

    int FixedRows() const { return fixedRows_; }
    void SetFixedRows(int count);

    // An out-of-range cell reads as empty; writing one raises "Grid index out of range".
    std::string_view Cell(int col, int row) const;
    void SetCell(int col, int row, std::string_view text);

    bool IsOnline(int row) const { return !Cell(kMarker, row).empty(); }
    // The player rows whose presence marker is not empty, in row order. Kept up to date
    // through every change, so walking the online players costs nothing per offline one.
    const std::set<int>& OnlineRows() const { return onlineRows_; }

    // The player's row (>= 1), 0 for an unknown nick, -1 for a known nick with another
    // password. Nick and password are compared with a-z read as A-Z; the first matching row
    // wins. A match marks the row online.
    std::int32_t CheckLogin(std::string_view nick, std::string_view password);
    // The row CheckLogin would match for nick, 0 when none; changes nothing.
    int NickRow(std::string_view nick) const { return FindNick(nick).value_or(0); }

    // Appends a player who is online, scores 0 and flies the "-" flag; returns its row.
    int AddPlayer(std::string_view nick, std::string_view password, std::string_view address);

    // Orders the player rows by descending score, keeping equal scores in their order. A
    // score that is not an integer raises EConvertError once the exchange sort would have
    // read it, with the rows it would have exchanged by then exchanged.
    void SortByScore();

    // Replaces the whole table with the rows of a registry file's text (see registry_file.h
    // for the line rules). While the rows are filled, doneBefore, when given, is told now and
    // then the offset before which text will not be read again, so the caller can free it.
    void LoadFromText(std::string_view text, const std::function<void(std::size_t offset)>& doneBefore = {});
    // The registry file's text for the whole table: one CR LF line per row, header first.
    std::string SaveToText() const;

    // The view to tell of changes; null for none.
    void SetObserver(RegistryObserver* observer) { observer_ = observer; }

private:
    struct Row {
        std::string bytes;                 // the six cells, one after the other
        std::array<std::uint16_t, kColCount> ends{}; // where each cell ends in bytes
        std::uint32_t id = 0;              // stable across sorts; what the nick index holds
        std::int32_t score = 0;            // the score cell read by the integer rule...
        bool scoreValid = false;           // ...when it reads as an integer

        std::string_view CellText(int col) const
        {
            const std::uint16_t begin = col == 0 ? 0 : ends[col - 1];
            return std::string_view(bytes).substr(begin, ends[col] - begin);
        }
    };

    Row NewRow();
    void StoreCell(int row, int col, std::string_view text);
    void MoveRowsTracked(int firstRow, int lastRow, const std::function<void()>& move);
    void Index(const Row& row);
    void Unindex(const Row& row);
    std::optional<int> FindNick(std::string_view nick) const;
    void ExchangePrefixUpTo(int badRow);
    void RowsChanged(int firstRow, int lastRow);

    std::vector<Row> rows_;
    std::vector<std::uint32_t> rowOfId_; // current row of each identity
    NickIndex nickIndex_;
    std::set<int> onlineRows_; // player rows (never the header) with a presence marker
    int fixedRows_ = 1;
    RegistryObserver* observer_ = nullptr;
};

// a-z read as A-Z; every other byte as it is.
std::string UpperCaseAscii(std::string_view text);
bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b);
