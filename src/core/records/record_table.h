#pragma once
// Row tables of decimal text cells that carry every intermediate and final
// result of an analysis between the stages. Every value, numbers included,
// is kept as text; the way cells are written and parsed back is part of the
// data model because stages (and stored session logs) exchange the texts.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvx::records {

struct Column {
    std::string heading;
    int width = 0;  // metadata only; the tables are never displayed
};

/// A grid of text cells. Appending a row and reading or writing a cell take
/// constant time. Cells live in one shared character store (an offset per
/// cell, short texts in the cell itself) so a table of a few hundred
/// thousand rows stays compact.
class RecordTable {
public:
    RecordTable() = default;
    explicit RecordTable(std::vector<Column> columns);

    const std::vector<Column>& columns() const { return m_columns; }
    int columnCount() const { return static_cast<int>(m_columns.size()); }
    /// Index of the column with this heading, or -1.
    int columnIndex(std::string_view heading) const;

    /// Inserts a row at index (clamped to the row count) with the first cell
    /// set and the others empty; returns the index.
    int insertRow(int index, std::string_view firstCellText);
    /// Appends a row; the same as insertRow(rowCount(), text).
    int appendRow(std::string_view firstCellText) { return insertRow(rowCount(), firstCellText); }
    /// Sets one cell; a row or column the table does not have is ignored.
    void setCell(int row, int column, std::string_view text);
    /// The whole cell text; empty for a cell never set or out of range. The
    /// view points into the table and is valid until the table next changes.
    std::string_view cell(int row, int column) const;
    /// The cell as a reader with a buffer of bufferBytes bytes sees it:
    /// cut to bufferBytes - 1 characters.
    std::string getCell(int row, int column, std::size_t bufferBytes = 256) const;

    int rowCount() const { return static_cast<int>(m_rows.size()); }
    void deleteRow(int index);
    void clear();
    /// Room for this many more rows and bytes of cell text, when they are
    /// known before the rows are added.
    void reserve(std::size_t moreRows, std::size_t moreTextBytes);
    /// Gives back what the table holds beyond its rows and texts (after a
    /// table has been filled, before more is built beside it).
    void shrinkToFit();
    /// First row whose first cell equals text exactly, or -1.
    int findRowByFirstCell(std::string_view text) const;
    /// Reorders whole rows ascending by the column, comparing cells by the
    /// first rule that applies to both: hexadecimal, decimal number
    /// (optionally with a trailing '%'), date, then bytes.
    void sortByColumn(int column);

    // Typed helpers that write and read with the table's text rules.
    void setU32(int row, int column, std::uint32_t value);   // "%lu"
    void setI32(int row, int column, std::int32_t value);    // "%d"
    void setI64(int row, int column, std::int64_t value);    // signed 64-bit decimal
    void setU64(int row, int column, std::uint64_t value);   // unsigned 64-bit decimal
    std::int32_t getI32(int row, int column) const;          // saturating signed 32-bit parse
    std::uint32_t getU32(int row, int column) const;         // saturating unsigned 32-bit parse
    std::int64_t getI64(int row, int column) const;          // signed 64-bit parse
    std::uint64_t getU64(int row, int column) const;         // unsigned 64-bit parse

    /// Bytes held by the table (rows, cell slots and the character store).
    std::size_t memoryBytes() const;

private:
    // A cell in four bytes: up to three bytes of text held in the cell
    // itself (numbers, flags, "0"), or where in the store its text lies,
    // after its length. The last byte tells them apart: 0x80 and the length
    // for the first, the offset's top bits for the second. All zero is the
    // empty cell, as the store's first byte is never a cell's.
    struct CellRef {
        char bytes[4] = {};
    };
    static constexpr std::size_t kInlineBytes = 3;
    // The text lies in this table: in its store, or in a cell itself.
    bool holds(std::string_view text) const;
    static bool isInline(const CellRef& ref) { return (static_cast<unsigned char>(ref.bytes[3]) & 0x80) != 0; }
    static std::uint32_t offsetOf(const CellRef& ref);
    static void setOffset(CellRef& ref, std::uint32_t offset);
    std::string_view textOf(const CellRef& ref) const;
    // Store bytes a cell holds there: its length's and its text's.
    std::size_t storedBytes(const CellRef& ref) const;
    // Writes the text into the cell (in place when it fits); false when the
    // store is full.
    bool store(CellRef& ref, std::string_view text);
    std::vector<Column> m_columns;
    // Row r's cells are m_cells[m_rows[r] * columns .. + columns). Rows are
    // slot numbers so deleting or sorting moves 4-byte slots, not cells.
    std::vector<std::uint32_t> m_rows;
    std::vector<CellRef> m_cells;
    std::vector<std::uint32_t> m_freeSlots;
    std::string m_store;
    std::size_t m_garbage = 0;

    void compactIfWasteful();
    // Rewrites the store with only the live cells, in row order.
    void compact();
};

/// Cell text parsing rules shared by every reader of the tables.
/// Signed 32-bit decimal with saturation at INT32_MIN / INT32_MAX; leading
/// blanks and a sign are accepted, parsing stops at the first non-digit, and
/// text without digits reads as 0.
std::int32_t parseI32(std::string_view text);
/// Unsigned 32-bit decimal with saturation at UINT32_MAX; a leading '-' reads 0.
std::uint32_t parseU32(std::string_view text);
/// Signed 64-bit decimal with saturation.
std::int64_t parseI64(std::string_view text);
/// Unsigned 64-bit decimal with saturation; a leading '-' reads 0.
std::uint64_t parseU64(std::string_view text);

/// Compares two cells as sortByColumn does; <0, 0, >0.
int compareCells(std::string_view a, std::string_view b);

}  // namespace qvx::records
