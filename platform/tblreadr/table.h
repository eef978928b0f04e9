// Collects the cells of a file row by row and turns them into the table the
// library hands back (column-major, texts in a pool of UTF-16 code units).
//
// Cells are kept row after row in one growing array of doubles, each row as
// long as the fields it had; a text or a replaced cell whose replacement is
// not a plain number is marked in its slot by a NaN pattern no conversion
// produces. finish() places every cell at its column-major position, pads
// short rows with the replacement and resolves the marks.
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
      m_values.push(kMissingMark);
      m_marked = true;
    }
  }
  // A text cell from its bytes (UTF-8, else Latin-1).
  void text(const char* s, const char* e) {
    std::size_t offset = m_chars.size();
    append_utf16(m_chars, s, e);
    m_texts.push({0, offset, m_chars.size() - offset});
    m_values.push(kTextMark);
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
  static constexpr double kTextMark = std::bit_cast<double>(std::uint64_t{0x7FF0'0000'0000'0001});
  static constexpr double kMissingMark =
      std::bit_cast<double>(std::uint64_t{0x7FF0'0000'0000'0002});

  Missing m_missing;
  bool m_plain_missing;  // the replacement is a real number: stored as it is
  bool m_marked = false;
  Growable<double> m_values;
  Growable<std::uint32_t> m_widths;
  Growable<KexTableText> m_texts;
  Growable<char16_t> m_chars;
  std::size_t m_row_start = 0;
  std::uint64_t m_widest = 0;
};

}  // namespace tblreadr
