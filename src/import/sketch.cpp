// csketchfile_cvs: the points of a sketch file as one complex column vector.
//
// The file is text read as a stream of numbers taken two at a time, x then y;
// the pair (x, y) becomes x + iy. Between numbers any run of white space and
// of the separators , : ; ( ) / is skipped, so "1,2", "(1;2)", "1 2", "1/2"
// and "(1,2)(3,4)" all read as expected. Reading stops at the end of the
// file, at the first text that is not a number, or after kMaxPairs pairs; a
// number left without its partner is dropped. The name is used as given
// (relative to the process's current directory).
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/limits.h"
#include "fast_float/fast_float.h"
#include "host/workers.h"
#include "kexio/host/errors.h"

namespace kexio {

namespace {

constexpr std::size_t kMaxPairs = limits::kSketchMaxPoints;
constexpr double kCeiling = 1e10;  // larger values are stored as this

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A buffered view of the file that can look any number of bytes ahead, so a
// number can be recognised before any of it is consumed.
class TextReader {
 public:
  explicit TextReader(std::FILE* f) : m_file(f) {}

  // The byte k places ahead, or -1 past the end of the input (a read error
  // counts as the end).
  int peek(std::size_t k) {
    while (m_pos + k >= m_buf.size()) {
      if (!more()) return -1;
    }
    return static_cast<unsigned char>(m_buf[m_pos + k]);
  }
  void consume(std::size_t n) { m_pos += n; }
  // The bytes [m_pos, m_pos + n), all of which were peeked at.
  const char* data() const { return m_buf.data() + m_pos; }

 private:
  bool more() {
    if (m_done) return false;
    if (m_pos > 0 && m_pos >= m_buf.size() / 2) {
      m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(m_pos));
      m_pos = 0;
    }
    std::size_t old = m_buf.size();
    m_buf.resize(old + kChunk);
    std::size_t got = std::fread(m_buf.data() + old, 1, kChunk, m_file);
    m_buf.resize(old + got);
    if (got < kChunk) m_done = true;
    return got > 0;
  }

  static constexpr std::size_t kChunk = 65536;
  std::FILE* m_file;
  std::vector<char> m_buf;
  std::size_t m_pos = 0;
  bool m_done = false;
};

bool is_gap(int c) {
  switch (c) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
    case ',':
    case ':':
    case ';':
    case '(':
    case ')':
    case '/':
      return true;
    default:
      return false;
  }
}

bool is_digit(int c) {
  return c >= '0' && c <= '9';
}

int lower(int c) {
  return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

// Letters, digits and '_', the characters allowed in "nan(...)".
bool is_name_char(int c) {
  return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'z') || c == '_';
}

// True when the letters of word (lower case) follow at offset k, in any case.
bool word_at(TextReader& in, std::size_t k, const char* word) {
  for (std::size_t i = 0; word[i] != 0; ++i) {
    if (lower(in.peek(k + i)) != word[i]) return false;
  }
  return true;
}

// Length of the longest decimal number at offset k (digits with an optional
// point and fraction, at least one digit, then an optional exponent that has
// digits), or 0.
std::size_t decimal_length(TextReader& in, std::size_t k) {
  std::size_t i = k;
  std::size_t digits = 0;
  for (; is_digit(in.peek(i)); ++i)
    ++digits;
  if (in.peek(i) == '.') {
    for (++i; is_digit(in.peek(i)); ++i)
      ++digits;
  }
  if (digits == 0) return 0;
  if (lower(in.peek(i)) == 'e') {
    std::size_t j = i + 1;
    if (in.peek(j) == '+' || in.peek(j) == '-') ++j;
    if (is_digit(in.peek(j))) {
      for (i = j; is_digit(in.peek(i));)
        ++i;
    }
  }
  return i - k;
}

// Skips white space and separators, then reads one number: an optional sign
// and a decimal number, "inf", "infinity" or "nan" (optionally "nan(...)"),
// in any case. Nothing converted: no value.
std::optional<double> scan_number(TextReader& in) {
  while (is_gap(in.peek(0)))
    in.consume(1);
  std::size_t k = 0;
  bool negative = false;
  if (in.peek(0) == '+' || in.peek(0) == '-') {
    negative = in.peek(0) == '-';
    k = 1;
  }
  double value;
  if (word_at(in, k, "inf")) {
    k += word_at(in, k + 3, "inity") ? 8 : 3;
    value = std::numeric_limits<double>::infinity();
  } else if (word_at(in, k, "nan")) {
    k += 3;
    if (in.peek(k) == '(') {
      std::size_t j = k + 1;
      while (is_name_char(in.peek(j)))
        ++j;
      if (in.peek(j) == ')') k = j + 1;
    }
    value = std::numeric_limits<double>::quiet_NaN();
  } else {
    std::size_t len = decimal_length(in, k);
    if (len == 0) return std::nullopt;
    const char* first = in.data() + k;
    fast_float::from_chars_result r = fast_float::from_chars(first, first + len, value);
    // Out-of-range values come back as infinity or zero, as strtod gives them.
    if (r.ptr != first + len) return std::nullopt;
    k += len;
  }
  in.consume(k);
  return negative ? -value : value;
}

double limited(double v) {
  return v > kCeiling ? kCeiling : v;
}

}  // namespace

aVector* csketchfile_cvs(KexCallContext* ctx, const char* file) {
  const std::string path = file;
  File f(std::fopen(path.c_str(), "r"));
  struct stat st {};
  if (!f || (::fstat(fileno(f.get()), &st) == 0 && S_ISDIR(st.st_mode))) {
    Kex::Throw("file open error", Kex::kWholeCall);
  }

  std::vector<double> xs;
  std::vector<double> ys;
  xs.reserve(1024);
  ys.reserve(1024);
  {
    TextReader in(f.get());
    while (xs.size() < kMaxPairs) {
      std::optional<double> x = scan_number(in);
      if (!x) break;
      std::optional<double> y = scan_number(in);
      if (!y) break;
      xs.push_back(limited(*x));
      ys.push_back(limited(*y));
    }
  }
  f.reset();
  if (xs.empty()) Kex::Throw("unknown file format", Kex::kWholeCall);

  const std::size_t n = xs.size();
  double* re = Kex::allocate_doubles(n);
  double* im = Kex::allocate_doubles(n);
  aMatrix* v = (re != nullptr && im != nullptr)
                   ? Kex::new_matrix(ctx->m_alloc, static_cast<std::uint32_t>(n), 1, re, im)
                   : nullptr;
  if (v == nullptr) Kex::Throw("out of memory", Kex::kWholeCall);
  std::memcpy(re, xs.data(), n * sizeof(double));
  std::memcpy(im, ys.data(), n * sizeof(double));
  return static_cast<aVector*>(v);
}

}  // namespace kexio
