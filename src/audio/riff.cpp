#include "audio/riff.h"

#include <utility>

#include "core/limits.h"

namespace kexio::riff {

namespace {

// Offset just past a chunk and its pad byte.
std::uint64_t chunk_end(const Chunk& ck) {
  return ck.data_offset + ck.size + (ck.size & 1u);
}

}  // namespace

bool Reader::open(const std::string& path) {
  io::Fd fd = io::open_read(path);
  if (!fd) return false;
  m_in = io::ByteReader(std::move(fd));
  m_pos = 0;
  return true;
}

const std::uint8_t* Reader::take(std::size_t n) {
  if (!m_in.seek(static_cast<std::int64_t>(m_pos))) return nullptr;
  const std::uint8_t* p = m_in.take(n);
  if (p != nullptr) m_pos += n;
  return p;
}

bool Reader::read(void* dst, std::size_t n) {
  bool done;
  if (m_in.size() >= 0) {
    done = io::pread_full(m_in.fd(), dst, n, static_cast<std::int64_t>(m_pos)) ==
           static_cast<std::int64_t>(n);
  } else {
    done = m_in.seek(static_cast<std::int64_t>(m_pos)) && m_in.read(dst, n) == n;
  }
  if (done) m_pos += n;
  return done;
}

bool Reader::skip(std::uint64_t n) {
  if (!m_in.seek(static_cast<std::int64_t>(m_pos)) || !m_in.skip(n)) return false;
  m_pos += n;
  return true;
}

std::uint64_t Reader::remaining() const {
  if (m_in.size() < 0) return UINT64_MAX;
  auto size = static_cast<std::uint64_t>(m_in.size());
  return m_pos < size ? size - m_pos : 0;
}

bool Reader::find(Chunk& ck, std::uint32_t id, std::uint32_t form, std::uint64_t end) {
  const bool want_form = form != 0;
  while (m_pos + 8 <= end) {
    Chunk c;
    c.data_offset = m_pos + 8;
    const std::uint8_t* head = take(8);
    if (head == nullptr) return false;
    c.id = io::le32(head);
    c.size = io::le32(head + 4);
    const bool has_form = c.id == kRiff || c.id == kList;
    if (has_form) {
      const std::uint8_t* type = take(4);
      if (type == nullptr) return false;
      c.form = io::le32(type);
    }
    if (c.id == id && (!want_form || c.form == form)) {
      ck = c;
      return true;
    }
    m_pos = chunk_end(c);
  }
  return false;
}

bool Reader::descend_form(Chunk& ck, std::uint32_t form) {
  // On a stream only the chunk at the position is looked at.
  std::uint64_t end = m_in.size() < 0 ? m_pos + 8 : static_cast<std::uint64_t>(m_in.size());
  return find(ck, kRiff, form, end);
}

bool Reader::descend(Chunk& ck, std::uint32_t id, const Chunk& parent) {
  return find(ck, id, 0, parent.data_offset + parent.size);
}

void Reader::ascend(const Chunk& ck) {
  m_pos = chunk_end(ck);
}

}  // namespace kexio::riff
