#include "io/byte_reader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "core/limits.h"

namespace kexio::io {

namespace {
constexpr std::size_t kBlock = std::size_t{64} << 10;
}

ByteReader::ByteReader(const void* data, std::size_t size)
    : m_size(static_cast<std::int64_t>(size)),
      m_base(static_cast<const std::uint8_t*>(data)),
      m_p(m_base),
      m_end(m_base + size) {}

ByteReader::ByteReader(Fd fd, bool read_ahead) : m_fd(std::move(fd)) {
  FileKind kind = kind_of(m_fd.get());
  if (kind.regular && kind.size > 0 &&
      static_cast<std::uint64_t>(kind.size) <= static_cast<std::uint64_t>(SIZE_MAX)) {
    auto bytes = static_cast<std::size_t>(kind.size);
    void* p = ::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, m_fd.get(), 0);
    if (p != MAP_FAILED) {
      // Decoders read front to back; start the kernel's read-ahead now.
      if (read_ahead) ::madvise(p, bytes, MADV_WILLNEED);
      m_mapped = true;
      m_size = kind.size;
      m_base = m_p = static_cast<const std::uint8_t*>(p);
      m_end = m_base + bytes;
      return;
    }
  }
  // Anything else is read as a stream, files of the proc and sys file
  // systems too: they report 0 bytes and still have contents.
  m_stream = m_fd.get() >= 0;
  m_size = m_stream ? -1 : 0;
}

ByteReader::ByteReader(ByteReader&& other) noexcept {
  *this = std::move(other);
}

ByteReader& ByteReader::operator=(ByteReader&& other) noexcept {
  if (this == &other) return *this;
  release();
  m_fd = std::move(other.m_fd);
  m_stream = other.m_stream;
  m_mapped = std::exchange(other.m_mapped, false);
  m_ended = other.m_ended;
  m_failed = other.m_failed;
  m_io_error = other.m_io_error;
  m_size = other.m_size;
  m_base = std::exchange(other.m_base, nullptr);
  m_base_pos = other.m_base_pos;
  m_p = std::exchange(other.m_p, nullptr);
  m_end = std::exchange(other.m_end, nullptr);
  m_buf = std::move(other.m_buf);
  m_cap = std::exchange(other.m_cap, 0);
  other.m_size = 0;
  other.m_stream = false;
  return *this;
}

ByteReader::~ByteReader() {
  release();
}

void ByteReader::release() {
  if (m_mapped) ::munmap(const_cast<std::uint8_t*>(m_base), static_cast<std::size_t>(m_size));
  m_mapped = false;
  m_base = m_p = m_end = nullptr;
}

std::size_t ByteReader::fill(std::size_t n) {
  std::size_t have = static_cast<std::size_t>(m_end - m_p);
  if (have >= n || !m_stream || m_ended) return have;
  // No stream is held in larger runs than the limit: a longer one reads as
  // cut short.
  if (n > limits::kStreamMaxBytes) return have;
  std::uint8_t* buf = m_buf.get();
  if (buf == nullptr || static_cast<std::size_t>(buf + m_cap - m_p) < n) {
    // No room for n bytes after the position: move the unread bytes to the
    // start of the buffer, a larger one when n needs it. Until then bytes
    // already read stay in the buffer, so a reader can go back to them (the
    // factory goes back to the start after its first look).
    if (buf == nullptr || n > m_cap) {
      std::size_t cap = std::max({n, kBlock, 2 * m_cap});
      auto bigger = std::make_unique<std::uint8_t[]>(cap);
      if (have != 0) std::memcpy(bigger.get(), m_p, have);
      m_buf = std::move(bigger);
      m_cap = cap;
    } else if (have != 0) {
      std::memmove(buf, m_p, have);
    }
    m_base_pos += m_p - m_base;
    m_base = m_p = m_buf.get();
    m_end = m_p + have;
  }
  std::uint8_t* limit = m_buf.get() + m_cap;
  while (have < n) {
    std::int64_t got = read_some(m_fd.get(), const_cast<std::uint8_t*>(m_end),
                                 static_cast<std::size_t>(limit - m_end));
    if (got <= 0) {
      if (got < 0) m_io_error = true;
      m_ended = true;
      break;
    }
    m_end += got;
    have += static_cast<std::size_t>(got);
  }
  return have;
}

int ByteReader::slow_get() {
  if (fill(1) == 0) {
    m_failed = true;
    return -1;
  }
  return *m_p++;
}

int ByteReader::slow_peek() {
  return fill(1) == 0 ? -1 : *m_p;
}

std::size_t ByteReader::read(void* dst, std::size_t n) {
  auto* out = static_cast<std::uint8_t*>(dst);
  std::size_t have = std::min(n, static_cast<std::size_t>(m_end - m_p));
  if (have != 0) std::memcpy(out, m_p, have);
  m_p += have;
  std::size_t done = have;
  if (done < n && m_stream && !m_ended) {
    if (n - done >= kBlock) {
      // A large read goes straight to the destination; the buffer, now
      // empty, starts after it.
      std::int64_t got = read_full(m_fd.get(), out + done, n - done);
      if (got < 0) {
        m_io_error = true;
        m_ended = true;
        got = 0;
      }
      done += static_cast<std::size_t>(got);
      m_base_pos += (m_p - m_base) + got;
      m_base = m_p = m_end = m_buf.get();
      if (done < n) m_ended = true;
    } else {
      std::size_t got = std::min(fill(n - done), n - done);
      std::memcpy(out + done, m_p, got);
      m_p += got;
      done += got;
    }
  }
  if (done < n) m_failed = true;
  return done;
}

const std::uint8_t* ByteReader::take(std::size_t n) {
  if (fill(n) < n) {
    m_failed = true;
    return nullptr;
  }
  const std::uint8_t* p = m_p;
  m_p += n;
  return p;
}

std::span<const std::uint8_t> ByteReader::window(std::size_t n) {
  std::size_t have = std::min(fill(n), n);
  return {m_p, have};
}

bool ByteReader::skip(std::uint64_t n) {
  std::uint64_t have = static_cast<std::uint64_t>(m_end - m_p);
  if (n <= have) {
    m_p += n;
    return true;
  }
  if (!m_stream) {
    m_p = m_end;
    m_failed = true;
    return false;
  }
  n -= have;
  m_p = m_end;
  while (n > 0) {
    std::size_t got = fill(static_cast<std::size_t>(std::min<std::uint64_t>(n, kBlock)));
    if (got == 0) {
      m_failed = true;
      return false;
    }
    std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(n, got));
    m_p += step;
    n -= step;
  }
  return true;
}

bool ByteReader::seek(std::int64_t pos) {
  std::int64_t here = tell();
  if (pos < 0) {
    m_failed = true;
    return false;
  }
  if (pos >= m_base_pos && pos <= m_base_pos + (m_end - m_base)) {
    m_p = m_base + (pos - m_base_pos);
    return true;
  }
  if (!m_stream) {
    m_failed = true;
    return false;
  }
  if (pos > here) return skip(static_cast<std::uint64_t>(pos - here));
  // Back beyond the buffer: only a seekable file can go there.
  if (!io::seek(m_fd.get(), pos)) {
    m_failed = true;
    return false;
  }
  m_ended = false;
  m_base_pos = pos;
  m_base = m_p = m_end = m_buf.get();
  return true;
}

}  // namespace kexio::io
