// What a cell holds: recognising numbers and the words for NaN and infinity,
// and turning a cell's bytes into UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "buffer.h"

namespace tblreadr {

inline bool is_digit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}

// Blanks around a value: spaces and tabs.
inline bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// Converts the number whose digits (after any sign) are [digits, end), as
// recognised by scan_number, through fast_float; point is the decimal
// separator it holds ('.' when it has none).
double convert_slow(const char* digits, const char* end, char point);

inline std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The number of decimal digits at the start of [p, end), eight bytes at a
// time where eight remain. A byte is a digit when its high nibble is 3 and
// adding 6 to it leaves the high nibble alone; a carry out of a byte can only
// disturb the bytes after the first non-digit.
inline std::size_t digit_count(const char* p, const char* end) {
  constexpr std::uint64_t kHigh = 0xF0F0F0F0F0F0F0F0u, kThrees = 0x3030303030303030u;
  const char* q = p;
  while (end - q >= 8) {
    std::uint64_t v = load8(q);
    std::uint64_t odd = ((v & kHigh) ^ kThrees) | (((v + 0x0606060606060606u) & kHigh) ^ kThrees);
    if (odd != 0) return static_cast<std::size_t>(q - p) + (__builtin_ctzll(odd) >> 3);
    q += 8;
  }
  while (q < end && is_digit(*q))
    ++q;
  return static_cast<std::size_t>(q - p);
}

// The value of the n digits (at most 19) at p; 8 bytes must be readable at
// every multiple of 8 from p up to p + n. Eight digits are combined at a time
// with three multiplications; a shorter group is moved to the top of its
// word and led by ASCII zeros.
inline std::uint64_t digits_value(const char* p, std::size_t n) {
  constexpr std::uint64_t kThrees = 0x3030303030303030u;
  auto eight = [](std::uint64_t v) {
    v -= kThrees;
    v = v * 10 + (v >> 8);
    return (((v & 0x000000FF000000FFu) * (100 + (std::uint64_t{1000000} << 32))) +
            (((v >> 16) & 0x000000FF000000FFu) * (1 + (std::uint64_t{10000} << 32)))) >>
           32;
  };
  std::uint64_t w = 0;
  for (; n >= 8; n -= 8, p += 8)
    w = w * 100000000u + eight(load8(p));
  if (n != 0) {
    std::uint64_t scale = 10;
    for (std::size_t i = 1; i < n; ++i)
      scale *= 10;
    w = w * scale + eight((load8(p) << (64 - 8 * n)) | (kThrees >> (8 * n)));
  }
  return w;
}

// Recognises a decimal number at p: an optional sign, digits with at most one
// decimal separator ('.', or comma when comma is ','; at least one digit), and
// an optional exponent (e or E, an optional sign, at least one digit; an e
// without digits is left unread). Returns the position after it, with its
// value in out, or null when no number starts at p.
//
// Up to 19 digits whose mantissa is exact in a double and a power of ten
// within 10^22 are converted with one correctly rounded multiplication or
// division (the classic exact fast path, valid when rounding to nearest);
// anything else goes to fast_float. Either way the value is correctly rounded.
inline const char* scan_number(const char* p, const char* end, char comma, bool nearest,
                               double& out) {
  static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const char* q = p;
  bool negative = false;
  if (q < end && (*q == '-' || *q == '+')) negative = *q++ == '-';
  const char* digits = q;
  const std::size_t whole = digit_count(q, end);
  q += whole;
  const char* fraction = q;
  std::size_t decimals = 0;
  char point = '.';
  if (q < end && (*q == '.' || *q == comma)) {
    point = *q;
    fraction = q + 1;
    decimals = digit_count(fraction, end);
    q = fraction + decimals;
  }
  if (whole + decimals == 0) return nullptr;
  std::int64_t exponent = 0;
  if (q < end && (*q == 'e' || *q == 'E')) {
    const char* x = q + 1;
    bool minus = false;
    if (x < end && (*x == '-' || *x == '+')) minus = *x++ == '-';
    const char* first = x;
    while (x < end && is_digit(*x)) {
      if (exponent < 100000) exponent = exponent * 10 + (*x - '0');
      ++x;
    }
    if (x != first) {
      q = x;
      if (minus) exponent = -exponent;
    } else {
      exponent = 0;
    }
  }
  const std::int64_t e10 = exponent - static_cast<std::int64_t>(decimals);
  if (nearest && whole + decimals <= 19 && end - digits >= 32 && e10 >= -22 && e10 <= 22) {
    std::uint64_t w = digits_value(digits, whole);
    if (decimals != 0) {
      w = w * static_cast<std::uint64_t>(kPow10[decimals]) + digits_value(fraction, decimals);
    }
    if (w <= (std::uint64_t{1} << 53)) {
      double v = static_cast<double>(w);
      v = e10 < 0 ? v / kPow10[-e10] : v * kPow10[e10];
      out = negative ? -v : v;
      return q;
    }
  }
  double v = convert_slow(digits, q, point);
  out = negative ? -v : v;
  return q;
}

// Recognises NaN, Inf or Infinity in any letter case, with an optional sign,
// at p: the position after the word, with its value in out, or null.
const char* scan_word(const char* p, const char* end, double& out);

// Appends the UTF-16 form of the bytes [s, e): UTF-8 where they are valid,
// each byte of anything else as the Latin-1 character of its value.
void append_utf16(Growable<char16_t>& out, const char* s, const char* e);

// The position count characters after s, counted the same way (one per
// valid UTF-8 sequence, one per other byte), or e when fewer remain.
const char* advance_chars(const char* s, const char* e, std::size_t count);

}  // namespace tblreadr
