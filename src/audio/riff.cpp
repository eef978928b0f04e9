#include "audio/riff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/limits.h"

namespace kexio::riff {

namespace {

std::uint32_t le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void put_le32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

// Offset just past a chunk and its pad byte.
std::uint64_t chunk_end(const Chunk& ck) {
  return ck.data_offset + ck.size + (ck.size & 1u);
}

constexpr std::size_t kWriteBuffer = std::size_t{64} << 10;

}  // namespace

// ---- Reader ----

Reader::~Reader() {
  if (m_fd >= 0) ::close(m_fd);
}

bool Reader::open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return false;
  }
  m_fd = fd;
  m_pos = 0;
  if (S_ISREG(st.st_mode)) {
    m_size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }
  // Not addressable by offset: take in everything there is. The buffer only
  // ever grows by what has actually arrived.
  m_in_memory = true;
  unsigned char block[65536];
  for (;;) {
    ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    m_bytes.insert(m_bytes.end(), block, block + got);
  }
  m_size = m_bytes.size();
  return true;
}

std::size_t Reader::read_at(std::uint64_t offset, void* buf, std::size_t n) const {
  if (offset >= m_size) return 0;
  if (m_in_memory) {
    std::size_t have = static_cast<std::size_t>(m_size - offset);
    if (n > have) n = have;
    std::memcpy(buf, m_bytes.data() + offset, n);
    return n;
  }
  auto* out = static_cast<unsigned char*>(buf);
  std::size_t done = 0;
  while (done < n) {
    ssize_t got = ::pread(m_fd, out + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

bool Reader::find(Chunk& ck, std::uint32_t id, std::uint32_t form, std::uint64_t end) {
  const bool want_form = form != 0;
  while (m_pos + 8 <= end) {
    unsigned char head[12];
    if (read_at(m_pos, head, 8) != 8) return false;
    Chunk c;
    c.id = le32(head);
    c.size = le32(head + 4);
    c.data_offset = m_pos + 8;
    const bool has_form = c.id == kRiff || c.id == kList;
    if (has_form) {
      if (read_at(c.data_offset, head + 8, 4) != 4) return false;
      c.form = le32(head + 8);
    }
    if (c.id == id && (!want_form || c.form == form)) {
      m_pos = has_form ? c.data_offset + 4 : c.data_offset;
      ck = c;
      return true;
    }
    m_pos = chunk_end(c);
  }
  return false;
}

bool Reader::descend_form(Chunk& ck, std::uint32_t form) {
  return find(ck, kRiff, form, m_size);
}

bool Reader::descend(Chunk& ck, std::uint32_t id, const Chunk& parent) {
  return find(ck, id, 0, parent.data_offset + parent.size);
}

void Reader::ascend(const Chunk& ck) {
  m_pos = chunk_end(ck);
}

std::size_t Reader::read(void* buf, std::size_t n) {
  std::size_t got = read_at(m_pos, buf, n);
  m_pos += got;
  return got;
}

// ---- Writer ----

Writer::~Writer() {
  if (m_fd >= 0) close();
}

bool Writer::create(const std::string& path) {
  m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (m_fd < 0) return false;
  m_failed = false;
  m_pos = m_flushed = 0;
  m_buf.reserve(kWriteBuffer);
  return true;
}

bool Writer::flush() {
  std::size_t done = 0;
  while (!m_failed && done < m_buf.size()) {
    ssize_t put = ::write(m_fd, m_buf.data() + done, m_buf.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0)
      m_failed = true;
    else
      done += static_cast<std::size_t>(put);
  }
  m_buf.clear();
  m_flushed = m_pos;
  return !m_failed;
}

bool Writer::write(const void* data, std::size_t n) {
  if (m_fd < 0 || m_failed) return false;
  const auto* p = static_cast<const unsigned char*>(data);
  if (m_buf.size() + n > kWriteBuffer && !flush()) return false;
  m_pos += n;
  if (n < kWriteBuffer) {
    m_buf.insert(m_buf.end(), p, p + n);
    return true;
  }
  // Large blocks go straight to the file.
  while (n > 0) {
    ssize_t put = ::write(m_fd, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      m_failed = true;
      return false;
    }
    p += put;
    n -= static_cast<std::size_t>(put);
  }
  m_flushed = m_pos;
  return true;
}

bool Writer::put_header(Chunk& ck, bool form) {
  unsigned char head[12];
  put_le32(head, ck.id);
  put_le32(head + 4, ck.size);
  put_le32(head + 8, ck.form);
  ck.data_offset = m_pos + 8;
  return write(head, form ? 12 : 8);
}

bool Writer::create_form(Chunk& ck) {
  ck.id = kRiff;
  return put_header(ck, true);
}

bool Writer::create_chunk(Chunk& ck) {
  return put_header(ck, false);
}

bool Writer::ascend(Chunk& ck) {
  if (m_fd < 0 || m_failed) return false;
  std::uint64_t length = m_pos - ck.data_offset;
  if (length > limits::kRiffMaxChunk) {
    m_failed = true;
    return false;
  }
  auto size = static_cast<std::uint32_t>(length);
  if ((size & 1u) != 0) {
    const unsigned char pad = 0;
    if (!write(&pad, 1)) return false;
  }
  if (size != ck.size) {
    std::uint64_t at = ck.data_offset - 4;
    if (at >= m_flushed) {
      put_le32(m_buf.data() + (at - m_flushed), size);
    } else {
      // The header has (at least partly) reached the file already.
      unsigned char word[4];
      put_le32(word, size);
      if (!flush() || ::pwrite(m_fd, word, 4, static_cast<off_t>(at)) != 4) {
        m_failed = true;
        return false;
      }
    }
    ck.size = size;
  }
  return true;
}

bool Writer::close() {
  if (m_fd < 0) return false;
  flush();
  if (::close(m_fd) != 0) m_failed = true;
  m_fd = -1;
  return !m_failed;
}

}  // namespace kexio::riff
