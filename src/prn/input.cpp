// Block reading and the scanning primitives of the text formats: white space,
// tokens, comment lines, numbers.
#include <fast_float/fast_float.h>

#include <algorithm>
#include <array>
#include <cfenv>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "kexio/host/errors.h"
#include "prn/prn.h"

namespace kexio::prn {

namespace {

constexpr std::size_t kBlock = std::size_t{256} << 10;

bool is_digit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}

}  // namespace

Input::Input(io::Fd fd) : m_fd(std::move(fd)), m_fd_in(m_fd.get()) {
  m_size = static_cast<std::size_t>(io::kind_of(m_fd.get()).size);
  m_nearest = fegetround() == FE_TONEAREST;
  // Files of the proc file system report no size either and are read alike.
  m_stream = m_size == 0;
}

Input::Input(int fd, std::int64_t from, std::int64_t to, bool nearest)
    : m_fd_in(fd),
      m_next(from),
      m_stop(to),
      m_size(static_cast<std::size_t>(to - from)),
      m_nearest(nearest) {}
Input::~Input() = default;

bool Input::more() {
  if (m_ended) return false;
  // More is asked for only once every byte read has been looked at.
  if (m_stream) {
    if (static_cast<std::uint64_t>(m_next - m_value_end) > limits::kStreamMaxWithoutValue) {
      m_ended = true;
      Kex::Throw("file i/o error", Kex::kWholeCall,
                 "the stream gives more than " +
                     std::to_string(limits::kStreamMaxWithoutValue >> 20) + " MiB without a value");
    }
    if (static_cast<std::uint64_t>(m_next) > m_stream_limit) {
      m_ended = true;
      Kex::Throw("file i/o error", Kex::kWholeCall, m_limit_detail);
    }
  }
  // Keep the unread bytes and a few before them (for pushing back).
  std::size_t behind = m_buf ? static_cast<std::size_t>(m_p - m_buf.get()) : 0;
  std::size_t keep = behind < kKeep ? behind : kKeep;
  unsigned char* from = m_p - keep;
  std::size_t kept = m_buf ? static_cast<std::size_t>(m_end - from) : 0;
  if (m_buf) m_dropped += static_cast<std::size_t>(from - m_buf.get());
  if (!m_buf || kept > m_cap / 2) {
    // The first block (no larger than a small file needs), or a token longer
    // than half the buffer: a larger buffer.
    std::size_t cap =
        m_buf ? 2 * m_cap : (m_size != 0 && m_size < kBlock ? m_size + 2 * kKeep : kBlock);
    while (kept > cap / 2)
      cap *= 2;
    std::unique_ptr<unsigned char[]> buf(new unsigned char[cap]);
    if (kept != 0) std::memcpy(buf.get(), from, kept);
    m_buf = std::move(buf);
    m_cap = cap;
  } else if (from != m_buf.get()) {
    std::memmove(m_buf.get(), from, kept);
  }
  m_p = m_buf.get() + keep;
  m_end = m_buf.get() + kept;
  std::size_t room = m_cap - kept;
  std::int64_t n = 0;
  if (m_stop < 0) {
    n = io::read_some(m_fd_in, m_end, room);
  } else if (m_next < m_stop) {
    room = std::min(room, static_cast<std::size_t>(m_stop - m_next));
    n = io::pread_full(m_fd_in, m_end, room, m_next);
  }
  if (n < 0) {
    m_ended = true;
    Kex::Throw("file i/o error", Kex::kWholeCall);
  }
  if (n == 0) {
    m_ended = true;
    return false;
  }
  m_end += n;
  m_next += n;
  return true;
}

std::size_t Input::line_of(std::size_t offset) const {
  if (m_size == 0) return 0;
  std::size_t line = 1;
  unsigned char block[4096];
  for (std::size_t at = 0; at < offset;) {
    std::size_t want = std::min(sizeof block, offset - at);
    std::int64_t got = io::pread_full(m_fd_in, block, want, static_cast<std::int64_t>(at));
    if (got <= 0) return 0;
    for (std::int64_t i = 0; i < got; ++i)
      line += block[i] == '\n';
    at += static_cast<std::size_t>(got);
  }
  return line;
}

int Input::refill_get() {
  while (m_p == m_end) {
    if (!more()) return kEof;
  }
  return *m_p++;
}

int Input::refill_peek() {
  while (m_p == m_end) {
    if (!more()) return kEof;
  }
  return *m_p;
}

void skip_space(Input& in) {
  for (;;) {
    const char* p = in.cur();
    const char* e = in.end();
    while (p < e && is_space(static_cast<unsigned char>(*p)))
      ++p;
    in.advance(static_cast<std::size_t>(p - in.cur()));
    if (p < e || !in.more()) return;
  }
}

void skip_token(Input& in) {
  skip_space(in);
  for (;;) {
    const char* p = in.cur();
    const char* e = in.end();
    while (p < e && !is_space(static_cast<unsigned char>(*p)))
      ++p;
    in.advance(static_cast<std::size_t>(p - in.cur()));
    if (p < e || !in.more()) return;
  }
}

void skip_line(Input& in) {
  for (;;) {
    const char* p = in.cur();
    std::size_t n = static_cast<std::size_t>(in.end() - p);
    if (const void* lf = std::memchr(p, '\n', n)) {
      in.advance(static_cast<std::size_t>(static_cast<const char*>(lf) - p) + 1);
      return;
    }
    in.advance(n);
    if (!in.more()) return;
  }
}

namespace {

constexpr std::uint64_t kZeros = 0x3030303030303030u;

std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The value of eight ASCII digits, the first at the lowest address.
[[gnu::always_inline]] inline std::uint64_t eight_digits(std::uint64_t v) {
  v -= kZeros;
  v = v * 10 + (v >> 8);
  return (((v & 0x000000FF000000FFu) * 0x000F424000000064u) +
          (((v >> 16) & 0x000000FF000000FFu) * 0x0000271000000001u)) >>
         32;
}

// The value of n digits (0 to 8) at p, eight bytes being readable there: the
// bytes after the digits are shifted out and zeros come in before them.
[[gnu::always_inline]] inline std::uint64_t up_to_eight_digits(const char* p, std::size_t n) {
  if (n == 0) return 0;
  std::uint64_t v = load8(p);
  if (n < 8) v = (v << (64 - 8 * n)) | (kZeros >> (8 * n));
  return eight_digits(v);
}

// The powers of ten a double holds exactly.
constexpr std::array<double, 23> kExactPowers = [] {
  std::array<double, 23> a{};
  double p10 = 1;
  for (auto& x : a) {
    x = p10;
    p10 *= 10;
  }
  return a;
}();

constexpr std::array<std::uint64_t, 9> kScale8 = {1,      10,      100,      1000,     10000,
                                                  100000, 1000000, 10000000, 100000000};

// The value of n digits (0 to 16) at p, n + 8 bytes being readable there.
[[gnu::always_inline]] inline std::uint64_t up_to_sixteen_digits(const char* p, std::size_t n) {
  if (n <= 8) return up_to_eight_digits(p, n);
  return eight_digits(load8(p)) * kScale8[n - 8] + up_to_eight_digits(p + 8, n - 8);
}

// The value of the exponent [p, end) (sign and digits); large ones saturate.
long exponent_value(const char* p, const char* end) {
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  long e = 0;
  for (; p < end; ++p) {
    if (e < 100000) e = e * 10 + (*p - '0');
  }
  return negative ? -e : e;
}

}  // namespace

double convert_number(const char* p, const Recognised& r, const char* end, bool nearest) {
  bool negative = *p == '-';
  const char* digits = p + (*p == '-' || *p == '+');
  // Up to 16 digits on each side of the point, at most 19 in all: when the
  // digits make an integer up to 2^53 and the power of ten is one of those a
  // double holds exactly, both are exact and one correctly rounded
  // multiplication or division gives the correctly rounded value. This is
  // the exact fast path fast_float takes first; it is computed here because
  // the digits are at hand. Everything else goes to fast_float.
  const char* fraction = digits + r.whole + 1;
  if (nearest && r.whole <= 16 && r.fraction <= 16 && r.whole + r.fraction <= 19 &&
      end - digits >= 24 && (r.fraction == 0 || end - fraction >= 24)) {
    std::uint64_t w = up_to_sixteen_digits(digits, r.whole);
    if (r.fraction != 0) {
      std::uint64_t low = up_to_sixteen_digits(fraction, r.fraction);
      w = r.fraction <= 8 ? w * kScale8[r.fraction] + low
                          : w * kScale8[8] * kScale8[r.fraction - 8] + low;
    }
    long e = -static_cast<long>(r.fraction);
    if (r.exponent != 0) e += exponent_value(p + r.exponent, p + r.length);
    if (w <= (std::uint64_t{1} << 53) && e >= -22 && e <= 22) {
      double v = static_cast<double>(w);
      v = e < 0 ? v / kExactPowers[static_cast<std::size_t>(-e)]
                : v * kExactPowers[static_cast<std::size_t>(e)];
      return negative ? -v : v;
    }
  }
  double v = 0;
  fast_float::from_chars(digits, p + r.length, v);
  return negative ? -v : v;
}

bool scan_int(Input& in, std::int64_t& value) {
  skip_space(in);
  int c = in.peek();
  bool negative = c == '-';
  if (c == '-' || c == '+') {
    in.advance(1);
    c = in.peek();
  }
  if (c == kEof || !is_digit(static_cast<char>(c))) return false;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t v = 0;
  while (c != kEof && is_digit(static_cast<char>(c))) {
    int d = c - '0';
    v = v > (kMax - d) / 10 ? kMax : v * 10 + d;
    in.advance(1);
    c = in.peek();
  }
  value = negative ? -v : v;
  return true;
}

int skip_eol(Input& in) {
  for (;;) {
    int c = in.get();
    if (c == kEof) return -1;
    if (c == '/') {
      int next = in.get();
      if (next == '/') {
        skip_line(in);
        continue;
      }
      if (next != kEof) in.unget();
      in.unget();
      return 0;
    }
    if (c > 0x20) {
      in.unget();
      return 0;
    }
  }
}

}  // namespace kexio::prn
