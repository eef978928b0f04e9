// The data-import library's pieces: the file kinds, the options of one call,
// the failure that ends a call, and the readers of each kind.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace tblreadr {

class TableBuilder;

// A failure with its message, the argument it belongs to and, when there is
// more to say, a detail for people.
struct Failure {
  std::string message;
  std::uint32_t index;
  std::string detail = {};
};

inline constexpr std::uint32_t kWholeCall = 0xFFFFFFFFu;
inline constexpr std::uint64_t kToEnd = std::numeric_limits<std::uint64_t>::max();

// How the fields of a line are separated.
struct Dialect {
  char delimiter = ',';        // one byte, unless blanks is set
  bool blanks = false;         // runs of spaces and tabs separate the fields
  bool decimal_comma = false;  // a comma inside a number is its decimal separator
};

// Rows or columns to keep, counted from 0, both ends included.
struct Span {
  std::uint64_t first = 0;
  std::uint64_t last = kToEnd;
  bool contains(std::uint64_t i) const { return i >= first && i <= last; }
};

struct Options {
  Span rows;
  Span cols;
  bool nearest = true;  // the rounding mode is to nearest
};

// The delimiter "delimited" files use, found from their first lines.
Dialect detect_dialect(const char* p, const char* end);

// Read the lines of [p, end) (a BOM already skipped) into the builder: every
// row in options.rows, every field in options.cols. They stop after the last
// row wanted and return the number of rows seen (blank lines are no rows).
std::uint64_t read_delimited(const char* p, const char* end, const Dialect& d,
                             const Options& options, TableBuilder& out);
// widths: the characters of each field, left to right.
std::uint64_t read_fixed(const char* p, const char* end, const std::vector<std::int32_t>& widths,
                         const Options& options, TableBuilder& out);

}  // namespace tblreadr
