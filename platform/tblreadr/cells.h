// What a cell holds: recognising numbers and the words for NaN and infinity,
// and turning a cell's bytes into UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>

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
  std::uint64_t w = 0;
  while (q < end && is_digit(*q))
    w = w * 10 + static_cast<unsigned>(*q++ - '0');
  std::size_t count = static_cast<std::size_t>(q - digits);
  std::size_t fraction = 0;
  char point = '.';
  if (q < end && (*q == '.' || *q == comma)) {
    point = *q++;
    const char* f = q;
    while (q < end && is_digit(*q))
      w = w * 10 + static_cast<unsigned>(*q++ - '0');
    fraction = static_cast<std::size_t>(q - f);
    count += fraction;
  }
  if (count == 0) return nullptr;
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
  std::int64_t e10 = exponent - static_cast<std::int64_t>(fraction);
  if (nearest && count <= 19 && w <= (std::uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
    double v = static_cast<double>(w);
    v = e10 < 0 ? v / kPow10[-e10] : v * kPow10[e10];
    out = negative ? -v : v;
  } else {
    double v = convert_slow(digits, q, point);
    out = negative ? -v : v;
  }
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
