// csketchfile_cvs: the points of a sketch file as one complex column vector.
//
// The file is text read as a stream of numbers taken two at a time, x then y;
// the pair (x, y) becomes x + iy. Between numbers any run of white space and
// of the separators , : ; ( ) / is skipped, so "1,2", "(1;2)", "1 2", "1/2"
// and "(1,2)(3,4)" all read as expected. Reading stops at the end of the
// file, at the first text that is not a number, or after kMaxPairs pairs; a
// number left without its partner is dropped. The name is used as given
// (relative to the process's current directory).
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/limits.h"
#include "fast_float/fast_float.h"
#include "host/workers.h"
#include "io/byte_reader.h"
#include "kexio/host/errors.h"

namespace kexio {

namespace {

constexpr std::size_t kMaxPairs = limits::kSketchMaxPoints;
constexpr double kCeiling = 1e10;  // larger values are stored as this

// A view of the file that can look any number of bytes ahead, so a number
// can be recognised before any of it is consumed. A stream (which has no
// size) that gives more than limits::kStreamMaxWithoutValue bytes after the
// last number, or its start, ends with an error: it might never end, and
// the bytes looked at ahead are held.
class TextReader {
 public:
  explicit TextReader(io::ByteReader& in) : m_in(in), m_stream(in.size() < 0) {}

  // The byte k places ahead, or -1 past the end of the input (a read error
  // counts as the end).
  int peek(std::size_t k) {
    std::span<const std::uint8_t> w = m_in.window(k + 1);
    if (w.size() <= k) return -1;
    if (m_stream && m_since + k >= limits::kStreamMaxWithoutValue) {
      Kex::Throw("file i/o error", Kex::kWholeCall,
                 "the stream gives more than " +
                     std::to_string(limits::kStreamMaxWithoutValue >> 20) + " MiB without a value");
    }
    return w[k];
  }
  void consume(std::size_t n) {
    m_in.skip(n);
    m_since += n;
  }
  // Consumes the run of bytes that skip(byte) holds for, a window at a time.
  template <typename Skip>
  void consume_while(Skip skip) {
    constexpr std::size_t kRun = 4096;
    for (;;) {
      std::span<const std::uint8_t> w = m_in.window(kRun);
      std::size_t n = 0;
      while (n < w.size() && skip(w[n]))
        ++n;
      if (n == 0) return;
      peek(n - 1);  // the limit of a stream
      consume(n);
      if (n < kRun) return;
    }
  }
  // A number ends at the position.
  void value_read() { m_since = 0; }
  // The bytes from the position on, as many as were peeked at.
  const char* data() { return reinterpret_cast<const char*>(m_in.window(0).data()); }

 private:
  io::ByteReader& m_in;
  bool m_stream;
  std::uint64_t m_since = 0;  // bytes consumed since the last number
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
  in.consume_while(is_gap);
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
  in.value_read();
  return negative ? -value : value;
}

double limited(double v) {
  return v > kCeiling ? kCeiling : v;
}

}  // namespace

aVector* read_sketch(KexCallContext* ctx, const char* file) {
  io::Fd fd = io::open_read(file);
  if (!fd) Kex::Throw("file open error", Kex::kWholeCall, io::failure_detail(errno, file));

  std::vector<double> xs;
  std::vector<double> ys;
  xs.reserve(1024);
  ys.reserve(1024);
  {
    io::ByteReader file_in(std::move(fd));
    TextReader in(file_in);
    while (xs.size() < kMaxPairs) {
      std::optional<double> x = scan_number(in);
      if (!x) break;
      std::optional<double> y = scan_number(in);
      if (!y) break;
      xs.push_back(limited(*x));
      ys.push_back(limited(*y));
    }
  }
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
