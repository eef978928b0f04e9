// Collects the cells of a file row by row and turns them into the table the
// library hands back (column-major, texts in a pool of UTF-16 code units,
// each distinct text once).
//
// Cells are kept row after row in one growing array of doubles, each row as
// long as the fields it had; a text (with the number of its string) or a
// replaced cell whose replacement is not a plain number is marked in its slot
// by a NaN pattern no conversion produces. finish() places every cell at its
// column-major position, pads short rows with the replacement and resolves
// the marks.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

#include "buffer.h"
#include "cells.h"
#include "kexio/runtime/import.h"
#include "tblreadr.h"

namespace tblreadr {

// What replaces an empty cell and pads a short row.
struct Missing {
  double re;
  double im = 0.0;
  bool is_text = false;
  std::u16string text;
};

class TableBuilder {
 public:
  // size_hint: the file's size, for the first guess of the space needed.
  TableBuilder(const Missing& missing, std::size_t size_hint);

  void begin_row() { m_row_start = m_values.size(); }
  void number(double v) { m_values.push(v); }
  void empty() {
    if (m_plain_missing) {
      m_values.push(m_missing.re);
    } else {
      if (m_missing.is_text) count_text();
      m_values.push(std::bit_cast<double>(kMissingMark));
      m_marked = true;
      m_empty_marked = true;
    }
  }
  // A text cell from its bytes (UTF-8, else Latin-1).
  void text(const char* s, const char* e) {
    std::size_t offset = m_chars.size();
    append_utf16(m_chars, s, e);
    count_text();
    m_values.push(std::bit_cast<double>(kTextMark | intern(offset)));
    m_marked = true;
  }
  // Ends a row that had the given number of fields in the file.
  void end_row(std::uint64_t fields);

  std::uint64_t rows() const { return m_widths.size(); }
  // The most fields any row had.
  std::uint64_t widest() const { return m_widest; }

  // The table of all rows with cols columns (at least as many as any row
  // kept); throws Failure when it cannot be a matrix, std::bad_alloc when
  // memory runs out.
  KexTable* finish(std::uint64_t cols);

 private:
  // Quiet conversions never give these NaNs: the mark is in the top 16 bits,
  // a text's string number in the low 32.
  static constexpr std::uint64_t kTextMark = 0x7FF1'0000'0000'0000u;
  static constexpr std::uint64_t kMissingMark = 0x7FF2'0000'0000'0000u;

  // Counts a text element in the column of the cell about to be added, so
  // that finish() can place the elements column by column in one pass.
  void count_text() {
    std::size_t col = m_values.size() - m_row_start;
    if (col >= m_col_texts.size()) m_col_texts.extend(col + 1 - m_col_texts.size());  // zeros
    ++m_col_texts.data()[col];
    ++m_text_cells;
  }
  // The number of the text that was just appended to the pool at offset; an
  // equal text seen before is used instead and the new copy dropped.
  std::uint32_t intern(std::size_t offset);
  void rehash(std::size_t capacity);

  Missing m_missing;
  bool m_plain_missing;         // the replacement is a real number: stored as it is
  bool m_marked = false;        // a cell is marked
  bool m_empty_marked = false;  // an empty cell is marked
  Growable<double> m_values;
  Growable<std::uint32_t> m_widths;
  Growable<char16_t> m_chars;          // the distinct texts
  Growable<KexTableString> m_strings;  // where each one is in m_chars
  // Open addressing over the distinct texts. A slot holds what a lookup needs
  // without touching m_strings: the high half of the text's hash, its number
  // + 1 (0: an empty slot), its length and where it is in m_chars.
  struct Slot {
    std::uint32_t tag;
    std::uint32_t id;
    std::uint32_t length;
    std::uint32_t offset;
  };
  Growable<Slot> m_slots;
  std::size_t m_row_start = 0;
  std::uint64_t m_widest = 0;
  Growable<std::uint64_t> m_col_texts;  // text elements per column
  std::uint64_t m_text_cells = 0;
};

}  // namespace tblreadr
