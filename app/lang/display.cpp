#include "display.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "numbers.h"
#include "text.h"
#include "values.h"

namespace kexio::app {

namespace {

const char* const kVEllipsis = "⋮";
const char* const kHEllipsis = "…";
// Longest text shown for a text element inside a matrix, in characters.
constexpr std::size_t kMaxCellText = 20;

std::string pad_left(const std::string& s, std::size_t width) {
  std::size_t n = char_count(s);
  return n >= width ? s : std::string(width - n, ' ') + s;
}

// One element of a matrix, ready for layout. A numeric element of a complex
// matrix keeps its parts apart so that a column lines up at the signs.
struct Cell {
  std::string text;  // real element, or a nested element
  std::string re, sign, im;
  bool complex = false;
};

struct Column {
  std::vector<Cell> cells;
  std::size_t re_width = 0, im_width = 0, width = 0;
};

Cell cell_of(const Cvd::MatVal& m, std::size_t r, std::size_t c) {
  std::size_t i = c * m.get_Rows() + r;
  Cell out;
  if (has_nested(m)) {
    auto it = m.m_parr->find(static_cast<std::int32_t>(i));
    if (it != m.m_parr->end()) {
      if (Cvd::MatVal* inner = as_matrix(it->second)) {
        out.text = "{" + size_text(*inner) + "}";
      } else if (Cvd::StrVal* s = as_string(it->second)) {
        std::u16string t = s->m_str;
        bool cut = false;
        if (t.size() > kMaxCellText) {
          t.resize(kMaxCellText);
          cut = true;
        }
        out.text = string_literal(t);
        if (cut) out.text.insert(out.text.size() - 1, kHEllipsis);
      } else if (Cvd::NumVal* n = as_number(it->second)) {
        out.text = text_complex(n->Data.rp, n->Data.ip, true);
      } else {
        out.text = "?";
      }
      return out;
    }
  }
  double re = m.real()[i];
  if (!m.get_HasImag()) {
    out.text = text_number(re);
    return out;
  }
  double im = m.imag()[i];
  bool negative = std::signbit(im) && !std::isnan(im);
  out.complex = true;
  out.re = text_number(re);
  out.sign = negative ? " - " : " + ";
  out.im = text_number(negative ? -im : im) + "i";
  return out;
}

class MatrixLayout {
 public:
  MatrixLayout(const Cvd::MatVal& m, const TextStyle& style) : m_m(m), m_style(style) {
    std::uint32_t rows = m.get_Rows();
    if (rows > style.max_rows) {
      std::size_t head = style.max_rows * 2 / 3, tail = style.max_rows / 5;
      for (std::size_t r = 0; r < head; ++r)
        m_rows.push_back(r);
      m_rows_cut = head;
      for (std::size_t r = rows - tail; r < rows; ++r)
        m_rows.push_back(r);
    } else {
      for (std::size_t r = 0; r < rows; ++r)
        m_rows.push_back(r);
    }
    if (rows != 0) choose_columns();
  }

  std::string render() const {
    std::string out = size_text(m_m) + (m_m.get_HasImag() ? " complex matrix" : " matrix");
    if (m_rows_cut != kNone || m_cols_cut != kNone) out += " (abridged)";
    out += "\n";
    if (m_m.get_Rows() == 0 || m_m.get_Cols() == 0) return out;
    for (std::size_t k = 0; k < m_rows.size(); ++k) {
      if (k == m_rows_cut) out += row_line(nullptr);
      out += row_line(&k);
    }
    return out;
  }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  Cell cell(std::size_t r, std::size_t c) const { return cell_of(m_m, r, c); }

  const Column& column(std::size_t c) {
    auto it = m_cache.find(c);
    if (it != m_cache.end()) return it->second;
    Column col;
    for (std::size_t r : m_rows) {
      Cell x = cell(r, c);
      if (x.complex) {
        col.re_width = std::max(col.re_width, char_count(x.re));
        col.im_width = std::max(col.im_width, char_count(x.im));
      } else {
        col.width = std::max(col.width, char_count(x.text));
      }
      col.cells.push_back(std::move(x));
    }
    if (col.re_width + col.im_width > 0)
      col.width = std::max(col.width, col.re_width + 3 + col.im_width);
    col.width = std::max<std::size_t>(col.width, 1);
    return m_cache.emplace(c, std::move(col)).first->second;
  }

  // All columns when they fit the line; otherwise as many from the left and
  // (fewer) from the right as fit, with an ellipsis column between (or last,
  // when no column from the right fits).
  void choose_columns() {
    std::size_t cols = m_m.get_Cols();
    std::size_t budget = m_style.width > 2 ? m_style.width - 2 : 1;
    std::size_t used = 0;
    bool fits = true;
    for (std::size_t c = 0; c < cols; ++c) {
      used += column(c).width + (c == 0 ? 0 : 2);
      if (used > budget) {
        fits = false;
        break;
      }
    }
    if (fits) {
      for (std::size_t c = 0; c < cols; ++c)
        m_cols.push_back(c);
      return;
    }
    std::vector<std::size_t> left, right;
    std::size_t l = 0, r = cols;
    used = 1;  // the ellipsis column
    for (int turn = 0; l < r; ++turn) {
      bool take_left = turn % 3 != 2;
      std::size_t c = take_left ? l : r - 1;
      std::size_t w = column(c).width + 2;
      if (used + w > budget && !left.empty()) break;
      used += w;
      if (take_left) {
        left.push_back(l++);
      } else {
        right.insert(right.begin(), --r);
      }
    }
    m_cols = left;
    m_cols_cut = left.size();
    m_cols.insert(m_cols.end(), right.begin(), right.end());
  }

  // One line of the table; k indexes m_rows, or null for the ellipsis row.
  std::string row_line(const std::size_t* k) const {
    std::string line;
    const std::string gap = "  " + std::string(k ? kHEllipsis : " ");
    for (std::size_t j = 0; j < m_cols.size(); ++j) {
      if (j == m_cols_cut) line += gap;
      const Column& col = m_cache.at(m_cols[j]);
      line += "  ";
      if (k == nullptr) {
        line += pad_left(kVEllipsis, col.width);
        continue;
      }
      const Cell& x = col.cells[*k];
      if (x.complex) {
        // Real parts right-aligned, imaginary parts left-aligned after the sign.
        std::string im = x.im + std::string(col.im_width - char_count(x.im), ' ');
        line += pad_left(pad_left(x.re, col.re_width) + x.sign + im, col.width);
      } else {
        line += pad_left(x.text, col.width);
      }
    }
    if (m_cols_cut == m_cols.size()) line += gap;  // no column kept on the right
    while (!line.empty() && line.back() == ' ')
      line.pop_back();
    return line + "\n";
  }

  const Cvd::MatVal& m_m;
  const TextStyle& m_style;
  std::vector<std::size_t> m_rows, m_cols;
  std::size_t m_rows_cut = kNone, m_cols_cut = kNone;
  std::map<std::size_t, Column> m_cache;
};

struct Colors {
  explicit Colors(bool on)
      : bold(on ? "\033[1m" : ""),
        red(on ? "\033[1;31m" : ""),
        blue(on ? "\033[1;34m" : ""),
        reset(on ? "\033[0m" : "") {}
  const char *bold, *red, *blue, *reset;
};

std::string expand_tabs(std::string_view line) {
  std::string s(line);
  std::replace(s.begin(), s.end(), '\t', ' ');
  return s;
}

}  // namespace

std::string string_literal(std::u16string_view s) {
  std::string out = "\"";
  std::string utf8 = utf16_to_utf8(s);
  for (std::size_t i = 0; i < utf8.size();) {
    std::size_t start = i;
    char32_t c = next_utf8(utf8, i);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          static const char kHex[] = "0123456789ABCDEF";
          out += "\\x";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
        } else {
          out.append(utf8, start, i - start);
        }
    }
  }
  return out + "\"";
}

std::string text_element(const Cvd::MatVal& m, std::size_t r, std::size_t c) {
  Cell x = cell_of(m, r, c);
  return x.complex ? x.re + x.sign + x.im : x.text;
}

std::string text_value(const Cvd::Ref& v, const TextStyle& style) {
  if (Cvd::NumVal* n = as_number(v)) return text_complex(n->Data.rp, n->Data.ip, true) + "\n";
  if (Cvd::StrVal* s = as_string(v)) return string_literal(s->m_str) + "\n";
  if (Cvd::MatVal* m = as_matrix(v)) return MatrixLayout(*m, style).render();
  return "(a value of unknown kind)\n";
}

std::string plain_message(const std::string& message) {
  std::vector<std::string> f;
  for (std::size_t b = 0;;) {
    std::size_t e = message.find('\t', b);
    f.push_back(message.substr(b, e == std::string::npos ? e : e - b));
    if (e == std::string::npos) break;
    b = e + 1;
  }
  const std::string& key = f[0];
  if (f.size() == 3 && key == "too_few_arguments") {
    return "too few arguments: at least " + f[1] + " needed, " + f[2] + " given";
  }
  if (f.size() == 3 && key == "too_many_arguments") {
    return "too many arguments: at most " + f[1] + " allowed, " + f[2] + " given";
  }
  if (f.size() == 1) {
    static const std::map<std::string, std::string> kKeys = {
        {"UnexpectedEOFinPRNfile", "unexpected end of file: the PRN file holds no data"},
        {"NOTAWAVFILE", "not a WAV file (no RIFF WAVE header)"},
        {"NOT_PCM", "not a PCM WAV file: only uncompressed PCM audio can be read"},
        {"ERROR_FMT_READ", "the format chunk of the WAV file cannot be read"},
        {"BAD_INFO",
         "unsupported WAV file: more than 32 bits per sample, floats of other than 32 or 64 "
         "bits, or no channels"},
        {"BAD_RESOLUTION", "the resolution must be 1 to 32 bits per sample"},
    };
    auto it = kKeys.find(key);
    if (it != kKeys.end()) return it->second;
    return message;
  }
  std::string joined = message;
  std::replace(joined.begin(), joined.end(), '\t', ' ');
  return joined;
}

std::string text_error(const Source& src, const Statement& st, const Diagnostic& d,
                       const TextStyle& style) {
  Colors c(style.color);
  Span mark = d.mark;
  if (mark.end <= mark.begin) mark.end = mark.begin + 1;  // at least one caret
  std::size_t mark_first = src.line_index(mark.begin);
  std::size_t mark_last = std::max(mark_first, src.line_index(mark.end - 1));
  std::size_t st_first = src.line_index(std::min(st.span.begin, mark.begin));

  std::string out = std::string(c.bold) + src.name() + ":" +
                    std::to_string(src.line_number(mark_first)) + ":" +
                    std::to_string(src.column(mark.begin)) + ": " + c.reset + c.red +
                    (d.syntax ? "syntax error: " : "error: ") + c.reset + c.bold +
                    (d.from_library ? plain_message(d.message) : d.message) + c.reset + "\n";

  // The statement's first line, and the lines of the marked part (the first
  // and the last two of them when there are many).
  std::vector<std::size_t> lines = {st_first};
  for (std::size_t l = mark_first; l <= mark_last; ++l) {
    if (mark_last - mark_first > 3 && l > mark_first && l + 2 <= mark_last) continue;
    if (l != st_first) lines.push_back(l);
  }
  std::sort(lines.begin(), lines.end());
  std::size_t gutter = std::to_string(src.line_number(lines.back())).size();
  std::string blank = std::string(gutter + 1, ' ');
  for (std::size_t k = 0; k < lines.size(); ++k) {
    std::size_t l = lines[k];
    if (k > 0 && l != lines[k - 1] + 1)
      out += std::string(c.blue) + blank + kVEllipsis + c.reset + "\n";
    out += std::string(c.blue) + pad_left(std::to_string(src.line_number(l)), gutter) + " | " +
           c.reset + expand_tabs(src.line(l)) + "\n";
    if (l < mark_first || l > mark_last) continue;
    std::string_view text = src.line(l);
    std::size_t start = src.line_start(l);
    std::size_t b = l == mark_first ? mark.begin - start : 0;
    std::size_t e = std::min(mark.end - start, text.size());
    if (b > text.size()) b = text.size();
    std::size_t lead = char_count(text.substr(0, b));
    std::size_t len = e > b ? char_count(text.substr(b, e - b)) : 1;
    out += std::string(c.blue) + blank + "| " + c.reset + std::string(lead, ' ') + c.red +
           std::string(len, '^') + c.reset;
    if (l == mark_last && !d.note.empty()) out += " " + d.note;
    out += "\n";
  }
  // Why and where (the library's detail), then how to put it right.
  if (!d.detail.empty())
    out += std::string(c.blue) + blank + "= " + c.reset + "note: " + d.detail + "\n";
  if (!d.hint.empty())
    out += std::string(c.blue) + blank + "= " + c.reset + "help: " + d.hint + "\n";
  return out;
}

}  // namespace kexio::app
