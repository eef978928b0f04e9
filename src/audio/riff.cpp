#include "audio/riff.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/limits.h"
#include "core/parallel.h"

namespace kexio::riff {

namespace {

std::uint64_t le64(const std::uint8_t* p) {
  return io::le32(p) | std::uint64_t{io::le32(p + 4)} << 32;
}

// A run of a file is copied by several threads from this many bytes per
// thread on: the copy out of the page cache is bound by one core's speed,
// and below a few MiB a thread's start costs more than its share saves.
constexpr std::size_t kPartBytes = std::size_t{2} << 20;
// Beyond four threads the copy is bound by the memory's speed.
constexpr std::size_t kMaxParts = 4;

// Copies n bytes at offset of a file to dst; true when all were read. A
// large run is split into parts of whole 64 KiB runs, read at once by
// threads of their own on cores that are free now.
bool pread_parts(int fd, std::uint8_t* dst, std::size_t n, std::uint64_t offset) {
  const std::size_t parts =
      n / kPartBytes < 2 ? 1 : std::min<std::size_t>({n / kPartBytes, kMaxParts, free_cores()});
  if (parts <= 1) {
    return io::pread_full(fd, dst, n, static_cast<std::int64_t>(offset)) ==
           static_cast<std::int64_t>(n);
  }
  constexpr std::size_t kRun = std::size_t{64} << 10;
  const std::size_t step = (n / parts) & ~(kRun - 1);
  std::vector<char> done(parts, 0);
  run_all(parts, [&](std::size_t i) {
    const std::size_t first = i * step;
    const std::size_t count = i + 1 == parts ? n - first : step;
    done[i] = io::pread_full(fd, dst + first, count, static_cast<std::int64_t>(offset + first)) ==
              static_cast<std::int64_t>(count);
  });
  return std::all_of(done.begin(), done.end(), [](char d) { return d != 0; });
}

// Offset just past a chunk and its pad byte.
std::uint64_t chunk_end(const Chunk& ck) {
  return ck.data_offset + ck.size + (ck.size & 1u);
}

}  // namespace

bool Reader::open(const std::string& path) {
  io::Fd fd = io::open_read(path);
  if (!fd) return false;
  // Only the chunk headers are read through the mapping; data is copied
  // with pread, whose own read-ahead serves it.
  m_in = io::ByteReader(std::move(fd), false);
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
    done = pread_parts(m_in.fd(), static_cast<std::uint8_t*>(dst), n, m_pos);
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
    c.size = m_big ? io::be32(head + 4) : io::le32(head + 4);
    if (c.size == kSizeInDs64 && c.id == kData && m_data_size) c.size = *m_data_size;
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

bool Reader::first_form(Chunk& ck, std::uint32_t form) {
  const std::uint8_t* head = take(12);
  if (head == nullptr) return false;
  Chunk c;
  c.id = io::le32(head);
  c.form = io::le32(head + 8);
  c.data_offset = m_pos - 4;
  const bool wide = c.id == kRf64 || c.id == kBw64;
  if ((c.id != kRiff && c.id != kRifx && !wide) || c.form != form) return false;
  m_big = c.id == kRifx;
  c.size = m_big ? io::be32(head + 4) : io::le32(head + 4);
  if (wide) {
    // The sizes are checked here against the largest positions, and later,
    // by whoever takes a chunk's data, against the file.
    const std::uint8_t* ds = take(8);
    if (ds == nullptr || io::le32(ds) != kDs64) return false;
    const std::uint32_t ds_size = io::le32(ds + 4);
    const std::uint64_t ds_end = m_pos + ds_size + (ds_size & 1u);
    const std::uint8_t* rec = ds_size < kDs64Record ? nullptr : take(kDs64Record);
    if (rec == nullptr) return false;
    const std::uint64_t form_size = le64(rec), data_size = le64(rec + 8);
    if (form_size > limits::kRiffMaxWideChunk || data_size > limits::kRiffMaxWideChunk) {
      return false;
    }
    if (!skip(ds_end - m_pos)) return false;
    if (c.size == kSizeInDs64) c.size = form_size;
    m_data_size = data_size;
  }
  ck = c;
  return true;
}

bool Reader::descend_form(Chunk& ck, std::uint32_t form) {
  m_big = false;
  m_data_size.reset();
  // On a stream only the chunk at the position is looked at.
  if (m_in.size() < 0) return first_form(ck, form);
  // A "RIFF" form anywhere comes before the other forms at the position.
  const std::uint64_t start = m_pos;
  if (find(ck, kRiff, form, static_cast<std::uint64_t>(m_in.size()))) return true;
  m_pos = start;
  return first_form(ck, form) && ck.id != kRiff;
}

bool Reader::descend(Chunk& ck, std::uint32_t id, const Chunk& parent) {
  return find(ck, id, 0, parent.data_offset + parent.size);
}

void Reader::ascend(const Chunk& ck) {
  m_pos = chunk_end(ck);
}

}  // namespace kexio::riff
