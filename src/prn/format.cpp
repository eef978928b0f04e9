// Number formatting: "% *.*g" with std::to_chars.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "prn/prn.h"

namespace kexio::prn {

std::size_t format_g(char* out, double v, int precision, int width) {
  // to_chars in general form with a precision is printf's %.*g; the blank
  // flag and the right alignment are added here.
  char digits[40];
  digits[0] = ' ';
  auto r =
      std::to_chars(digits + 1, digits + sizeof digits, v, std::chars_format::general, precision);
  const char* start = digits[1] == '-' ? digits + 1 : digits;
  auto len = static_cast<std::size_t>(r.ptr - start);
  std::size_t pad = width > 0 && static_cast<std::size_t>(width) > len
                        ? static_cast<std::size_t>(width) - len
                        : 0;
  std::memset(out, ' ', pad);
  std::memcpy(out + pad, start, len);
  return pad + len;
}

}  // namespace kexio::prn
