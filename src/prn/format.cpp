// Number formatting ("% *.*g" with std::to_chars) and buffered output.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "prn/prn.h"

namespace kexio::prn {

namespace {

constexpr std::size_t kBufferSize = std::size_t{256} << 10;

}  // namespace

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

Output::Output(int fd) : m_fd(fd), m_buf(new char[kBufferSize]), m_cap(kBufferSize) {}

Output::~Output() = default;

void Output::drain() {
  const char* p = m_buf.get();
  std::size_t left = m_len;
  while (left > 0 && !m_failed) {
    ssize_t n = ::write(m_fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      m_failed = true;
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  m_len = 0;
}

void Output::write(const char* s, std::size_t n) {
  while (n > 0) {
    if (m_len == m_cap) drain();
    std::size_t k = std::min(n, m_cap - m_len);
    std::memcpy(m_buf.get() + m_len, s, k);
    m_len += k;
    s += k;
    n -= k;
  }
}

bool Output::flush() {
  drain();
  return !m_failed;
}

void Output::truncate_here() {
  off_t at = ::lseek(m_fd, 0, SEEK_CUR);
  // Devices and pipes have no length to cut.
  if (at >= 0) (void)::ftruncate(m_fd, at);
}

}  // namespace kexio::prn
