#include "io/byte_writer.h"

#include <unistd.h>

#include <cerrno>
#include <new>

#include "io/fd.h"

namespace kexio::io {

ByteWriter::ByteWriter(int fd, std::size_t capacity) : m_fd(fd) {
  m_buf.reset(new (std::nothrow) std::uint8_t[capacity]);
  if (m_buf == nullptr) {
    m_error = ENOMEM;
  } else {
    m_cap = capacity;
  }
  if (fd < 0) m_error = EBADF;
}

bool ByteWriter::flush() {
  if (m_error == 0 && m_used != 0 && !write_full(m_fd, m_buf.get(), m_used)) m_error = errno;
  m_pos += static_cast<std::int64_t>(m_used);
  m_used = 0;
  return m_error == 0;
}

std::uint8_t* ByteWriter::slow_room(std::size_t n) {
  if (!flush()) return nullptr;
  if (n > m_cap) {
    m_buf.reset(new (std::nothrow) std::uint8_t[n]);
    if (m_buf == nullptr) {
      m_cap = 0;
      m_error = ENOMEM;
      return nullptr;
    }
    m_cap = n;
  }
  return m_buf.get();
}

void ByteWriter::write_through(const void* src, std::size_t n) {
  if (!flush()) return;
  if (!write_full(m_fd, src, n)) m_error = errno;
  m_pos += static_cast<std::int64_t>(n);
}

void ByteWriter::zeros(std::size_t n) {
  while (n > 0 && m_error == 0) {
    std::size_t step = n < m_cap ? n : m_cap;
    std::uint8_t* p = room(step);
    if (p == nullptr) return;
    std::memset(p, 0, step);
    commit(step);
    n -= step;
  }
}

bool ByteWriter::seek(std::int64_t pos) {
  if (!flush()) return false;
  if (::lseek(m_fd, pos, SEEK_SET) < 0) {
    m_error = errno;
    return false;
  }
  m_pos = pos;
  return true;
}

}  // namespace kexio::io
