// Fixed-width files: each line holds its fields in columns of given widths,
// counted in characters, left to right; the rest of a line after the last
// field is ignored and fields past a short line's end are empty.
#include <algorithm>
#include <cstring>

#include "table.h"
#include "tblreadr.h"

namespace tblreadr {

namespace {

// A field: blanks around it are padding; what is left is nothing (the
// replacement), a number or a word for one, or a text.
void field(const char* s, const char* e, const Options& o, TableBuilder& out) {
  while (s < e && is_blank(*s))
    ++s;
  while (e > s && is_blank(e[-1]))
    --e;
  double v;
  if (s == e) {
    out.empty();
  } else if (scan_number(s, e, '.', o.nearest, v) == e || scan_word(s, e, v) == e) {
    out.number(v);
  } else {
    out.text(s, e);
  }
}

}  // namespace

std::uint64_t read_fixed(const char* p, const char* end, const std::vector<std::int32_t>& widths,
                         const Options& options, TableBuilder& out) {
  std::uint64_t record = 0;
  while (p < end) {
    const char* nl =
        static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* next = nl != nullptr ? nl + 1 : end;
    const char* e = nl != nullptr ? nl : end;
    if (e > p && e[-1] == '\r') --e;
    if (std::all_of(p, e, [](char c) { return is_blank(c); })) {
      p = next;
      continue;
    }
    if (record > options.rows.last) break;
    if (record >= options.rows.first) {
      out.begin_row();
      const char* s = p;
      for (std::size_t i = 0; i < widths.size(); ++i) {
        const char* f = advance_chars(s, e, static_cast<std::size_t>(widths[i]));
        if (options.cols.contains(i)) field(s, f, options, out);
        s = f;
      }
      out.end_row(widths.size());
    }
    ++record;
    p = next;
  }
  return record;
}

}  // namespace tblreadr
