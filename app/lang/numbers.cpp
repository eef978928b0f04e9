#include "numbers.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace kexio::app {

std::string json_number(double v) {
  if (std::isnan(v)) return "\"NaN\"";
  if (std::isinf(v)) return v > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  // "-0" would read back as the integer 0 in parsers that keep integers
  // apart (Python's), losing the sign.
  if (v == 0.0 && std::signbit(v)) return "-0.0";
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string text_number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  if (v == 0.0) return "0";
  char buf[48];
  if (std::fabs(v) < 1e15 && std::floor(v) == v) {
    std::snprintf(buf, sizeof buf, "%.0f", v);
    return buf;
  }
  std::snprintf(buf, sizeof buf, "%.10g", v);
  std::string s = buf;
  std::size_t e = s.find('e');
  if (e != std::string::npos) {
    // e-07 → e-7, e+20 → e+20
    std::size_t digits = e + 2;
    while (digits + 1 < s.size() && s[digits] == '0')
      s.erase(digits, 1);
  }
  return s;
}

std::string text_complex(double re, double im, bool bare_imaginary) {
  if (im == 0.0) return text_number(re);
  bool negative = std::signbit(im) && !std::isnan(im);
  std::string imag = text_number(negative ? -im : im) + "i";
  if (bare_imaginary && re == 0.0) return negative ? "-" + imag : imag;
  return text_number(re) + (negative ? " - " : " + ") + imag;
}

}  // namespace kexio::app
