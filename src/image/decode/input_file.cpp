#include "image/decode/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kexio {

namespace {
constexpr std::size_t kBufferSize = 64 * 1024;
}

InputFile::InputFile(const char* path) {
  m_fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (m_fd < 0) return;
  struct stat st {};
  if (::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode)) m_size = st.st_size;
  m_buf.resize(kBufferSize);
}

InputFile::~InputFile() {
  if (m_fd >= 0) ::close(m_fd);
}

std::size_t InputFile::raw_read(void* dst, std::size_t n) {
  auto* out = static_cast<unsigned char*>(dst);
  std::size_t done = 0;
  while (done < n) {
    ssize_t got = ::read(m_fd, out + done, n - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

bool InputFile::fill() {
  if (m_fd < 0) return false;
  m_buf_pos += static_cast<std::int64_t>(m_end);
  m_next = 0;
  m_end = raw_read(m_buf.data(), m_buf.size());
  return m_end > 0;
}

int InputFile::refill_and_get() {
  if (!fill()) {
    m_failed = true;
    return -1;
  }
  return m_buf[m_next++];
}

std::size_t InputFile::read(void* dst, std::size_t n) {
  if (n == 0) return 0;
  auto* out = static_cast<unsigned char*>(dst);
  std::size_t have = m_end - m_next;
  if (n <= have) {
    std::memcpy(out, m_buf.data() + m_next, n);
    m_next += n;
    return n;
  }
  if (have > 0) std::memcpy(out, m_buf.data() + m_next, have);
  m_next = m_end;
  std::size_t done = have;
  if (m_fd >= 0) {
    if (n - done >= m_buf.size()) {
      // Large reads bypass the buffer; the buffer then starts after them.
      std::size_t got = raw_read(out + done, n - done);
      done += got;
      m_buf_pos += static_cast<std::int64_t>(m_end + got);
      m_next = m_end = 0;
    } else {
      while (done < n && fill()) {
        std::size_t take = std::min(n - done, m_end);
        std::memcpy(out + done, m_buf.data(), take);
        m_next = take;
        done += take;
      }
    }
  }
  if (done < n) m_failed = true;
  return done;
}

void InputFile::seek(std::int64_t pos) {
  if (pos < 0 || m_fd < 0) {
    m_failed = true;
    return;
  }
  // Stay in the buffer when the position lies inside it.
  if (pos >= m_buf_pos && pos <= m_buf_pos + static_cast<std::int64_t>(m_end)) {
    m_next = static_cast<std::size_t>(pos - m_buf_pos);
    return;
  }
  if (::lseek(m_fd, pos, SEEK_SET) < 0) {
    m_failed = true;
    return;
  }
  m_buf_pos = pos;
  m_next = m_end = 0;
}

}  // namespace kexio
