// The slower parts of reading cells: conversions fast_float does for us, the
// words for NaN and infinity, and UTF-8 decoding with its Latin-1 fallback.
#include "cells.h"

#include <fast_float/fast_float.h>

#include <cstring>
#include <limits>

namespace tblreadr {

namespace {

// The length of the valid UTF-8 sequence at s and its code point, or 0 when
// the bytes there are not one (overlong forms, surrogates and values past
// U+10FFFF included).
std::size_t utf8_sequence(const unsigned char* s, const unsigned char* e, char32_t& cp) {
  unsigned char b = s[0];
  auto cont = [&](std::size_t i) { return s + i < e && (s[i] & 0xC0) == 0x80; };
  if (b >= 0xC2 && b <= 0xDF) {
    if (!cont(1)) return 0;
    cp = static_cast<char32_t>((b & 0x1F) << 6 | (s[1] & 0x3F));
    return 2;
  }
  if (b >= 0xE0 && b <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if ((b == 0xE0 && s[1] < 0xA0) || (b == 0xED && s[1] > 0x9F)) return 0;
    cp = static_cast<char32_t>((b & 0x0F) << 12 | (s[1] & 0x3F) << 6 | (s[2] & 0x3F));
    return 3;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if ((b == 0xF0 && s[1] < 0x90) || (b == 0xF4 && s[1] > 0x8F)) return 0;
    cp = static_cast<char32_t>((b & 0x07) << 18 | (s[1] & 0x3F) << 12 | (s[2] & 0x3F) << 6 |
                               (s[3] & 0x3F));
    return 4;
  }
  return 0;
}

bool equal_lower(const char* p, const char* end, const char* word, std::size_t n) {
  if (static_cast<std::size_t>(end - p) < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if ((p[i] | 0x20) != word[i]) return false;
  }
  return true;
}

}  // namespace

double convert_slow(const char* digits, const char* end, char point) {
  double v = 0;
  fast_float::from_chars_advanced(
      digits, end, v, fast_float::parse_options(fast_float::chars_format::general, point));
  return v;
}

const char* scan_word(const char* p, const char* end, double& out) {
  const char* q = p;
  bool negative = false;
  if (q < end && (*q == '-' || *q == '+')) negative = *q++ == '-';
  if (equal_lower(q, end, "nan", 3)) {
    out = std::numeric_limits<double>::quiet_NaN();
    return q + 3;
  }
  if (!equal_lower(q, end, "inf", 3)) return nullptr;
  out =
      negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  return equal_lower(q, end, "infinity", 8) ? q + 8 : q + 3;
}

void append_utf16(Growable<char16_t>& out, const char* s, const char* e) {
  auto* p = reinterpret_cast<const unsigned char*>(s);
  auto* end = reinterpret_cast<const unsigned char*>(e);
  // Every byte gives at most one code unit (a 4-byte sequence gives two).
  char16_t* o = out.extend(static_cast<std::size_t>(end - p));
  char16_t* first = o;
  while (p < end) {
    // Eight plain ASCII bytes at a time.
    while (end - p >= 8) {
      std::uint64_t v;
      std::memcpy(&v, p, 8);
      if ((v & 0x8080808080808080u) != 0) break;
      for (int i = 0; i < 8; ++i)
        o[i] = p[i];
      o += 8;
      p += 8;
    }
    if (p == end) break;
    if (*p < 0x80) {
      *o++ = *p++;
      continue;
    }
    char32_t cp = 0;
    std::size_t n = utf8_sequence(p, end, cp);
    if (n == 0) {
      *o++ = *p++;  // not UTF-8: the byte as Latin-1
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      *o++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *o++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      p += n;
    } else {
      *o++ = static_cast<char16_t>(cp);
      p += n;
    }
  }
  out.shrink_to(out.size() -
                static_cast<std::size_t>(end - reinterpret_cast<const unsigned char*>(s)) +
                static_cast<std::size_t>(o - first));
}

const char* advance_chars(const char* s, const char* e, std::size_t count) {
  auto* p = reinterpret_cast<const unsigned char*>(s);
  auto* end = reinterpret_cast<const unsigned char*>(e);
  for (; count != 0 && p < end; --count) {
    char32_t cp;
    std::size_t n = *p < 0x80 ? 1 : utf8_sequence(p, end, cp);
    p += n == 0 ? 1 : n;
  }
  return reinterpret_cast<const char*>(p);
}

}  // namespace tblreadr
