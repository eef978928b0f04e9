// READFILE over every type word, with ranges, replacements and fixed-width
// schemas taken from the input's first bytes; the rest of the input is the
// file. Every result must be a well-formed matrix and every failure one of
// the library's messages at a sensible argument. Where the file has no
// quotes, CRs or non-ASCII bytes, comma, tab, blank-separated and fixed-width
// files are also read by a plain reference here (split, trim, strtod) and
// every cell must agree.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kexio/io.h"
#include "scratch.h"

namespace {

const char* const kTypes[] = {"csv", "tsv", "tab", "space", "delimited", "fixed", "xls"};

const std::string& folder() {
  return fuzz::scratch();
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_readfile: %s\n", what);
  std::abort();
}

Cvd::Ref num(double re, double im = 0) {
  return std::make_shared<Cvd::NumVal>(re, im);
}
using fuzz::text;
Cvd::Ref column(std::initializer_list<double> v) {
  auto m = Cvd::MatVal::Zeros(static_cast<std::uint32_t>(v.size()), 1);
  std::copy(v.begin(), v.end(), m->real());
  return m;
}

// A reference cell: a number (re, im) or a text.
struct Cell {
  bool is_text = false;
  double re = 0, im = 0;
  std::string bytes;
};

bool blank(char c, char delim) {
  return c == ' ' || (c == '\t' && delim != '\t');
}

// Decimal numbers and the words for NaN and infinity, by their grammar; the
// value comes from strtod.
bool reference_number(const std::string& s, double& v) {
  std::size_t i = s[0] == '+' || s[0] == '-' ? 1 : 0;
  const std::string word = s.substr(i);
  auto is = [&](const char* w) {
    return word.size() == std::strlen(w) && strncasecmp(word.data(), w, word.size()) == 0;
  };
  bool ok = is("nan") || is("inf") || is("infinity");
  if (!ok) {
    std::size_t digits = 0;
    auto run = [&] {
      while (i < s.size() && s[i] >= '0' && s[i] <= '9')
        ++i, ++digits;
    };
    run();
    if (i < s.size() && s[i] == '.') ++i, run();
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
      std::size_t save = i++, before = digits;
      if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
      run();
      if (digits == before) i = save;
    }
    ok = i == s.size();
  }
  if (ok) v = std::strtod(s.c_str(), nullptr);
  return ok;
}

struct Reference {
  std::vector<std::vector<Cell>> rows;
  std::size_t widest = 0;
};

// The plain reading of a file without quotes or CRs: lines, blank lines
// skipped, fields split at the delimiter (0: runs of blanks) or by widths.
Reference reference(const std::string& file, char delim, const std::vector<int>& widths, bool fixed,
                    const Cell& missing) {
  Reference out;
  std::size_t start = 0;
  while (start < file.size()) {
    std::size_t nl = file.find('\n', start);
    std::string line = file.substr(start, nl == std::string::npos ? nl : nl - start);
    start = nl == std::string::npos ? file.size() : nl + 1;
    if (line.find_first_not_of(delim == '\t' ? " " : " \t") == std::string::npos) continue;
    std::vector<std::string> fields;
    if (fixed) {
      std::size_t at = 0;
      for (int w : widths) {
        fields.push_back(at < line.size() ? line.substr(at, static_cast<std::size_t>(w)) : "");
        at += static_cast<std::size_t>(w);
      }
    } else if (delim == 0) {
      std::size_t i = 0;
      while ((i = line.find_first_not_of(" \t", i)) != std::string::npos) {
        std::size_t e = line.find_first_of(" \t", i);
        fields.push_back(line.substr(i, e == std::string::npos ? e : e - i));
        i = e;
      }
    } else {
      std::size_t i = 0, e;
      while ((e = line.find(delim, i)) != std::string::npos) {
        fields.push_back(line.substr(i, e - i));
        i = e + 1;
      }
      fields.push_back(line.substr(i));
    }
    std::vector<Cell> row;
    for (const std::string& f : fields) {
      std::size_t a = 0, b = f.size();
      while (a < b && blank(f[a], delim))
        ++a;
      while (b > a && blank(f[b - 1], delim))
        --b;
      Cell c;
      if (a == b) {
        c = missing;
      } else if (!reference_number(f.substr(a, b - a), c.re)) {
        c.is_text = true;
        c.bytes = fixed ? f.substr(a, b - a) : f;
      }
      row.push_back(c);
    }
    out.widest = std::max(out.widest, row.size());
    out.rows.push_back(row);
  }
  return out;
}

bool same(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  const char* type = kTypes[data[0] % 7];
  const bool fixed = data[0] % 7 == 5;
  const bool rows_given = data[1] & 1, cols_given = data[1] & 2;
  const int replacement = data[1] >> 2 & 3;
  const std::uint32_t row_first = 1 + data[2] % 4, col_first = 1 + data[3] % 4;
  const std::uint32_t col_last = col_first + data[3] / 64;
  std::vector<int> widths;
  std::size_t skip = 5;
  if (fixed) {
    widths.resize(data[4] % 6);
    for (int& w : widths) {
      w = skip < size ? data[skip] % 12 : 1;
      ++skip;
    }
  }
  if (skip > size) return 0;
  const std::string file(reinterpret_cast<const char*>(data) + skip, size - skip);
  fuzz::put_file("in", data + skip, size - skip);

  std::vector<Cvd::Ref> args = {text("in"), text(type)};
  if (fixed) {
    auto schema = Cvd::MatVal::Zeros(static_cast<std::uint32_t>(widths.size()), 1);
    for (std::size_t i = 0; i < widths.size(); ++i)
      schema->real()[i] = widths[i];
    args.push_back(schema);
  }
  const std::uint32_t first_optional = static_cast<std::uint32_t>(args.size()) + 1;
  Cell missing{false, NAN, 0, {}};
  if (rows_given || cols_given || replacement != 0) args.push_back(num(rows_given ? row_first : 1));
  if (cols_given || replacement != 0)
    args.push_back(cols_given ? column({double(col_first), double(col_last)}) : num(1));
  if (replacement == 1) missing = {false, 0.5, 0, {}}, args.push_back(num(0.5));
  if (replacement == 2) missing = {false, 1, -1, {}}, args.push_back(num(1, -1));
  if (replacement == 3) missing = {true, 0, 0, "m"}, args.push_back(text("m"));

  Cvd::Ref result;
  try {
    result = Kex::IO::READFILE(Vrt::RawBytesToString(folder()), args);
  } catch (const Kex::Exception& e) {
    const std::string& m = e.message();
    std::uint32_t i = e.index();
    bool known =
        (m.rfind("unknown file type", 0) == 0 && i == 2) ||
        (m.rfind("malformed quoting in line ", 0) == 0 && i == 1) ||
        (m == "field widths must be positive" && i == 3) ||
        (m == "file i/o error" && i == 1 && file.find('\0') != std::string::npos) ||
        (m.rfind("the file has ", 0) == 0 && (i == first_optional || i == first_optional + 1));
    if (!known) fail(e.what());
    return 0;
  }
  auto* m = dynamic_cast<Cvd::MatVal*>(result.get());
  if (m == nullptr) fail("no matrix");
  const std::uint64_t n = std::uint64_t{m->get_Rows()} * m->get_Cols();
  if (m->m_parr) {
    for (const auto& [index, value] : *m->m_parr) {
      if (index < 0 || static_cast<std::uint64_t>(index) >= n ||
          !Cvd::IsNestedSlot(m->real()[index]) ||
          dynamic_cast<Cvd::StrVal*>(value.get()) == nullptr) {
        fail("bad text element");
      }
    }
  }

  // The reference reading, where it applies.
  const int kind = data[0] % 7;
  if (kind == 4 || kind == 6 || file.find_first_of("\"\r") != std::string::npos) return 0;
  for (char c : file) {
    if (static_cast<unsigned char>(c) >= 0x80) return 0;
  }
  // Fixed-width files trim spaces and tabs alike, as a comma file does.
  const char delim = kind == 0 || fixed ? ',' : kind == 3 ? 0 : '\t';
  Reference want = reference(file, delim, widths, fixed, missing);
  const std::size_t r0 = rows_given ? row_first - 1 : 0;
  if (r0 >= want.rows.size() && rows_given) fail("a row range beyond the data was read");
  want.rows.erase(want.rows.begin(), want.rows.begin() + static_cast<std::ptrdiff_t>(r0));
  std::size_t widest = 0;
  for (const auto& row : want.rows)
    widest = std::max(widest, row.size());
  const std::size_t c0 = cols_given ? col_first - 1 : 0;
  const std::size_t c1 = cols_given ? std::min<std::size_t>(col_last, widest) : widest;
  if (m->get_Rows() != want.rows.size() || m->get_Cols() != (c1 > c0 ? c1 - c0 : 0)) {
    fail("wrong shape");
  }
  for (std::uint32_t r = 0; r < m->get_Rows(); ++r) {
    for (std::uint32_t c = 0; c < m->get_Cols(); ++c) {
      std::size_t k = c0 + c;
      const Cell& w = k < want.rows[r].size() ? want.rows[r][k] : missing;
      Cvd::NumVal got;
      auto* s = dynamic_cast<Cvd::StrVal*>(m->get_2_na(got, r, c).get());
      if (w.is_text != (s != nullptr)) fail("text where a number is due, or the other way");
      if (s != nullptr && Vrt::StringToRawBytes(s->m_str) != w.bytes) fail("text differs");
      if (s == nullptr && (!same(got.Data.rp, w.re) || !same(got.Data.ip, w.im))) {
        fail("number differs");
      }
    }
  }
  return 0;
}
