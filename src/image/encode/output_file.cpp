#include "image/encode/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace kexio {

namespace {
constexpr std::size_t kBufferSize = 1 << 20;
}

OutputFile::OutputFile(const char* path) {
  errno = 0;
  m_fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (m_fd < 0) {
    m_open_errno = errno;
    return;
  }
  m_buf.reset(new (std::nothrow) unsigned char[kBufferSize]);
  if (m_buf == nullptr) {
    m_bad = true;
  } else {
    m_capacity = kBufferSize;
  }
}

OutputFile::~OutputFile() {
  if (m_fd >= 0) close();
}

void OutputFile::flush() {
  std::size_t done = 0;
  while (!m_bad && done < m_used) {
    ssize_t n = ::write(m_fd, m_buf.get() + done, m_used - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      m_bad = true;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  m_pos += static_cast<std::int64_t>(m_used);
  m_used = 0;
}

unsigned char* OutputFile::reserve(std::size_t n) {
  if (m_bad || m_fd < 0) return nullptr;
  if (m_used + n > m_capacity) {
    flush();
    if (m_bad) return nullptr;
    if (n > m_capacity) {
      m_buf.reset(new (std::nothrow) unsigned char[n]);
      if (m_buf == nullptr) {
        m_bad = true;
        m_capacity = 0;
        return nullptr;
      }
      m_capacity = n;
    }
  }
  unsigned char* p = m_buf.get() + m_used;
  m_used += n;
  return p;
}

void OutputFile::write(const void* src, std::size_t n) {
  if (n == 0) return;
  if (unsigned char* p = reserve(n)) std::memcpy(p, src, n);
}

void OutputFile::zeros(std::size_t n) {
  if (unsigned char* p = reserve(n)) std::memset(p, 0, n);
}

void OutputFile::seek(std::int64_t pos) {
  if (m_fd < 0) return;
  flush();
  if (m_bad) return;
  if (::lseek(m_fd, pos, SEEK_SET) < 0) {
    m_bad = true;
    return;
  }
  m_pos = pos;
}

void OutputFile::close() {
  if (m_fd < 0) return;
  flush();
  if (::close(m_fd) != 0) m_bad = true;
  m_fd = -1;
}

}  // namespace kexio
