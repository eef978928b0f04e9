#include "colormap/archive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace kexio::archive {

std::string describe(const char* what, const std::string& path, int e) {
  return std::string(what) + " '" + path + "': " + std::strerror(e);
}

bool FileHandle::reset() {
  if (m_fd < 0) return true;
  int fd = std::exchange(m_fd, -1);
  return ::close(fd) == 0;
}

// ---- Loader ----

Loader::Loader(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    off_t at = ::lseek(fd, 0, SEEK_CUR);
    m_sized = true;
    m_size = static_cast<std::uint64_t>(st.st_size);
    m_consumed = at > 0 ? static_cast<std::uint64_t>(at) : 0;
  }
}

void Loader::end_of_file() const {
  throw Failure("unexpected end of file in '" + m_path + "'");
}

std::uint64_t Loader::remaining() const {
  if (!m_sized) return UINT64_MAX;
  return m_size > m_consumed ? m_size - m_consumed : 0;
}

void Loader::fill() {
  ssize_t got;
  do {
    got = ::read(m_fd, m_buf, sizeof m_buf);
  } while (got < 0 && errno == EINTR);
  if (got < 0) throw Failure(describe("cannot read", m_path, errno));
  if (got == 0) end_of_file();
  m_pos = 0;
  m_end = static_cast<std::size_t>(got);
}

void Loader::read(void* dst, std::size_t n) {
  auto* out = static_cast<unsigned char*>(dst);
  while (n > 0) {
    if (m_pos == m_end) fill();
    std::size_t take = std::min(n, m_end - m_pos);
    std::memcpy(out, m_buf + m_pos, take);
    m_pos += take;
    m_consumed += take;
    out += take;
    n -= take;
  }
}

std::uint8_t Loader::read_u8() {
  std::uint8_t v;
  read(&v, 1);
  return v;
}

std::uint16_t Loader::read_u16() {
  unsigned char b[2];
  read(b, 2);
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t Loader::read_u32() {
  unsigned char b[4];
  read(b, 4);
  return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

std::uint32_t Loader::read_string_length(bool* wide) {
  *wide = false;
  std::uint8_t b = read_u8();
  if (b < 0xFF) return b;
  std::uint16_t w = read_u16();
  if (w == 0xFFFE) {
    // 2-byte characters; the length follows. A second marker is not looked
    // for: 0xFFFE is then a plain 16-bit length.
    *wide = true;
    b = read_u8();
    if (b < 0xFF) return b;
    w = read_u16();
  }
  if (w < 0xFFFF) return w;
  return read_u32();
}

std::string Loader::read_string() {
  bool wide = false;
  const std::uint64_t chars = read_string_length(&wide);
  const std::uint64_t bytes = wide ? 2 * chars : chars;
  // A length beyond the end of the file fails at once instead of reserving
  // room for characters that are not there.
  if (bytes > remaining()) end_of_file();
  std::string text;
  unsigned char chunk[4096];
  for (std::uint64_t left = bytes; left > 0;) {
    std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof chunk));
    read(chunk, take);
    left -= take;
    if (!wide) {
      text.append(reinterpret_cast<const char*>(chunk), take);
      continue;
    }
    for (std::size_t i = 0; i + 1 < take; i += 2) {
      unsigned unit = chunk[i] | (chunk[i + 1] << 8);
      text.push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
    }
  }
  return text;
}

// ---- Storer ----

Storer::Storer(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}

void Storer::write_u16(std::uint16_t v) {
  unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  write(b, 2);
}

void Storer::write_u32(std::uint32_t v) {
  unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  write(b, 4);
}

void Storer::write(const void* src, std::size_t n) {
  const auto* in = static_cast<const unsigned char*>(src);
  while (n > 0) {
    if (m_used == sizeof m_buf) flush();
    std::size_t take = std::min(n, sizeof m_buf - m_used);
    std::memcpy(m_buf + m_used, in, take);
    m_used += take;
    in += take;
    n -= take;
  }
}

void Storer::write_string(std::string_view s) {
  if (s.size() < 0xFF) {
    write_u8(static_cast<std::uint8_t>(s.size()));
  } else if (s.size() < 0xFFFE) {
    write_u8(0xFF);
    write_u16(static_cast<std::uint16_t>(s.size()));
  } else {
    write_u8(0xFF);
    write_u16(0xFFFF);
    write_u32(static_cast<std::uint32_t>(s.size()));
  }
  write(s.data(), s.size());
}

void Storer::flush() {
  std::size_t done = 0;
  while (done < m_used) {
    ssize_t put = ::write(m_fd, m_buf + done, m_used - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      int e = put < 0 ? errno : EIO;
      // What was not written stays out of the file; the caller discards it.
      m_used = 0;
      throw Failure(describe("cannot write", m_path, e));
    }
    done += static_cast<std::size_t>(put);
  }
  m_used = 0;
}

}  // namespace kexio::archive
