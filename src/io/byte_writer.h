// Buffered writing to a file descriptor that the writer does not own. The
// first failure is remembered with its errno and nothing is written after
// it, so a writer can produce a whole file and check once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "io/endian.h"

namespace kexio::io {

class ByteWriter {
 public:
  explicit ByteWriter(int fd, std::size_t capacity = std::size_t{1} << 20);
  ByteWriter(const ByteWriter&) = delete;
  ByteWriter& operator=(const ByteWriter&) = delete;

  // Room for n bytes at the current position, to be filled and then
  // committed; null once the writer has failed.
  std::uint8_t* room(std::size_t n) {
    if (m_cap - m_used >= n && m_error == 0) return m_buf.get() + m_used;
    return slow_room(n);
  }
  void commit(std::size_t n) { m_used += n; }

  // Pieces as large as the buffer go to the file directly.
  void write(const void* src, std::size_t n) {
    if (n == 0) return;
    if (n >= m_cap) return write_through(src, n);
    if (std::uint8_t* p = room(n)) {
      std::memcpy(p, src, n);
      commit(n);
    }
  }
  void put(std::uint8_t b) {
    if (std::uint8_t* p = room(1)) {
      *p = b;
      commit(1);
    }
  }
  void zeros(std::size_t n);
  void le16(std::uint32_t v) { fixed<2>(v, &put_le16); }
  void le32(std::uint32_t v) { fixed<4>(v, &put_le32); }
  void be16(std::uint32_t v) { fixed<2>(v, &put_be16); }
  void be32(std::uint32_t v) { fixed<4>(v, &put_be32); }

  // The position of the next byte written.
  std::int64_t tell() const { return m_pos + static_cast<std::int64_t>(m_used); }
  // Writes out what is buffered and moves to an absolute position.
  bool seek(std::int64_t pos);
  // Writes out what is buffered: false when anything failed so far.
  bool flush();
  bool failed() const { return m_error != 0; }
  // The errno of the first failure, 0 when none.
  int error() const { return m_error; }

 private:
  template <std::size_t N>
  void fixed(std::uint32_t v, void (*encode)(std::uint8_t*, std::uint32_t)) {
    if (std::uint8_t* p = room(N)) {
      encode(p, v);
      commit(N);
    }
  }
  std::uint8_t* slow_room(std::size_t n);
  void write_through(const void* src, std::size_t n);

  int m_fd;
  std::unique_ptr<std::uint8_t[]> m_buf;  // not zero-filled
  std::size_t m_cap = 0;
  std::size_t m_used = 0;
  std::int64_t m_pos = 0;  // file position of m_buf[0]
  int m_error = 0;
};

}  // namespace kexio::io
