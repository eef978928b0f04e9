// Delimited files: one record per line, fields separated by one byte (comma,
// tab, semicolon, bar) or by runs of blanks, with quoted fields as CSV has
// them: a field that starts with a double quote runs to the next lone double
// quote and may hold delimiters, line breaks and doubled quotes ("").
#include <algorithm>
#include <cstring>
#include <string>

#include "table.h"
#include "tblreadr.h"

namespace tblreadr {

namespace {

[[noreturn]] void malformed(const char* begin, const char* at) {
  std::uint64_t line = 1 + static_cast<std::uint64_t>(std::count(begin, at, '\n'));
  throw Failure{"malformed quoting in line " + std::to_string(line), 1};
}

// One pass over the records of a file. kBlanks: fields are separated by runs
// of blanks, else by the dialect's delimiter.
template <bool kBlanks>
class Reader {
 public:
  Reader(const char* begin, const char* end, const Dialect& d, const Options& o, TableBuilder& out)
      : m_begin(begin),
        m_end(end),
        m_delim(d.delimiter),
        m_comma(d.decimal_comma ? ',' : '.'),
        m_nearest(o.nearest),
        m_options(o),
        m_out(out) {}

  std::uint64_t run() {
    const char* p = m_begin;
    std::uint64_t record = 0;
    while (p < m_end) {
      const char* q = p;
      while (q < m_end && (*q == ' ' || *q == '\r' || (*q == '\t' && m_delim != '\t')))
        ++q;
      if (q == m_end || *q == '\n') {  // a blank line is no record
        p = q == m_end ? q : q + 1;
        continue;
      }
      if (record > m_options.rows.last) break;
      const bool keep = record >= m_options.rows.first;
      if (keep) m_out.begin_row();
      if (kBlanks) p = q;
      std::uint64_t field = 0;
      for (;;) {
        p = keep && m_options.cols.contains(field) ? field_at<true>(p) : field_at<false>(p);
        ++field;
        if (kBlanks) {
          while (p < m_end && (*p == ' ' || *p == '\t' || *p == '\r'))
            ++p;
          if (p == m_end || *p == '\n') break;
        } else {
          if (p == m_end || *p != m_delim) break;
          ++p;
        }
      }
      if (p < m_end && *p == '\r') ++p;
      if (p < m_end && *p == '\n') ++p;
      if (keep) m_out.end_row(field);
      ++record;
    }
    return record;
  }

 private:
  // Whether a field ends at x.
  bool ends(const char* x) const {
    if (x == m_end) return true;
    char c = *x;
    if (kBlanks) return c == ' ' || c == '\t' || c == '\n' || c == '\r';
    return c == m_delim || c == '\n' || (c == '\r' && (x + 1 == m_end || x[1] == '\n'));
  }
  // Blanks that may surround a value inside a field.
  bool pad(char c) const { return !kBlanks && (c == ' ' || (c == '\t' && m_delim != '\t')); }

  // Reads (kKeep) or steps over the field starting at p; returns where it
  // ends.
  template <bool kKeep>
  const char* field_at(const char* p) {
    const char* s = p;
    while (s < m_end && pad(*s))
      ++s;
    if (s < m_end && *s == '"') return quoted<kKeep>(s);
    const char* q = nullptr;
    if (kKeep) {
      double v;
      q = scan_number(s, m_end, m_comma, m_nearest, v);
      if (q == nullptr) q = scan_word(s, m_end, v);
      if (q != nullptr) {
        while (q < m_end && pad(*q))
          ++q;
        if (ends(q)) {
          m_out.number(v);
          return q;
        }
      }
    }
    const char* e = q != nullptr ? q : s;
    while (!ends(e))
      ++e;
    if (kKeep) {
      if (s == e) {
        m_out.empty();
      } else {
        m_out.text(p, e);
      }
    }
    return e;
  }

  // A quoted field whose opening quote is at s.
  template <bool kKeep>
  const char* quoted(const char* s) {
    const char* content = s + 1;
    const char* q = content;
    bool doubled = false;
    const char* close;
    for (;;) {
      close = static_cast<const char*>(std::memchr(q, '"', static_cast<std::size_t>(m_end - q)));
      if (close == nullptr) malformed(m_begin, s);
      if (close + 1 < m_end && close[1] == '"') {
        doubled = true;
        q = close + 2;
        continue;
      }
      break;
    }
    const char* after = close + 1;
    while (after < m_end && pad(*after))
      ++after;
    if (!ends(after)) malformed(m_begin, after);
    if (kKeep) {
      const char* cs = content;
      const char* ce = close;
      // Doubled quotes become one, and a CR LF inside the field a line feed.
      if (doubled || std::memchr(cs, '\r', static_cast<std::size_t>(ce - cs)) != nullptr) {
        m_scratch.clear();
        for (const char* x = cs; x < ce; ++x) {
          if (*x == '"' || (*x == '\r' && x + 1 < ce && x[1] == '\n')) ++x;
          m_scratch.push_back(*x);
        }
        cs = m_scratch.data();
        ce = cs + m_scratch.size();
      }
      classify(cs, ce);
    }
    return after;
  }

  // The contents of a quoted field: a number or a word for one (blanks
  // around it allowed), nothing but blanks, or a text.
  void classify(const char* s, const char* e) {
    const char* a = s;
    while (a < e && is_blank(*a))
      ++a;
    const char* b = e;
    while (b > a && is_blank(b[-1]))
      --b;
    if (a == b) {
      m_out.empty();
      return;
    }
    double v;
    if (scan_number(a, b, m_comma, m_nearest, v) == b || scan_word(a, b, v) == b) {
      m_out.number(v);
    } else {
      m_out.text(s, e);
    }
  }

  const char* m_begin;
  const char* m_end;
  char m_delim;
  char m_comma;
  bool m_nearest;
  const Options& m_options;
  TableBuilder& m_out;
  std::string m_scratch;
};

// The fields of one line [s, e) when split at delim (or at runs of blanks
// when delim is 0), quotes respected within the line.
std::uint64_t count_fields(const char* s, const char* e, char delim) {
  std::uint64_t fields = 0;
  bool in_field = false, quoted = false;
  for (const char* x = s; x < e; ++x) {
    char c = *x;
    if (quoted) {
      if (c == '"' && x + 1 < e && x[1] == '"') {
        ++x;
      } else if (c == '"') {
        quoted = false;
      }
      continue;
    }
    if (delim == 0) {
      if (c == ' ' || c == '\t') {
        in_field = false;
        continue;
      }
      if (!in_field) ++fields;
      in_field = true;
    } else if (c == delim) {
      ++fields;
      in_field = false;
      continue;
    }
    if (c == '"' && !in_field) quoted = true;
    in_field = true;
  }
  return delim == 0 ? fields : fields + 1;
}

}  // namespace

Dialect detect_dialect(const char* p, const char* end) {
  constexpr std::size_t kLines = 50;
  const char* starts[kLines];
  const char* stops[kLines];
  std::size_t lines = 0;
  while (p < end && lines < kLines) {
    const char* nl =
        static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* e = nl != nullptr ? nl : end;
    const char* t = e;
    if (t > p && t[-1] == '\r') --t;
    if (std::any_of(p, t, [](char c) { return c != ' ' && c != '\t'; })) {
      starts[lines] = p;
      stops[lines++] = t;
    }
    p = nl != nullptr ? nl + 1 : end;
  }
  // Ties go to the first of these: a tab or a semicolon is rarely part of a
  // value, while commas are decimal separators in semicolon files and blanks
  // occur in texts.
  const char candidates[] = {'\t', ';', ',', '|', 0};
  char best = ',';
  std::size_t best_score = 0;
  for (char c : candidates) {
    std::uint64_t counts[kLines];
    for (std::size_t i = 0; i < lines; ++i)
      counts[i] = count_fields(starts[i], stops[i], c);
    // The field count most lines agree on (the larger one on a tie).
    std::size_t score = 0;
    std::uint64_t mode = 0;
    for (std::size_t i = 0; i < lines; ++i) {
      std::size_t same = static_cast<std::size_t>(std::count(counts, counts + lines, counts[i]));
      if (same > score || (same == score && counts[i] > mode)) {
        score = same;
        mode = counts[i];
      }
    }
    if (mode >= 2 && score > best_score) {
      best = c;
      best_score = score;
    }
  }
  Dialect d;
  d.delimiter = best;
  d.blanks = best == 0;
  d.decimal_comma = best == ';';
  return d;
}

std::uint64_t read_delimited(const char* p, const char* end, const Dialect& d,
                             const Options& options, TableBuilder& out) {
  if (d.blanks) return Reader<true>(p, end, d, options, out).run();
  return Reader<false>(p, end, d, options, out).run();
}

}  // namespace tblreadr
