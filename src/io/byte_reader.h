// Reading a file, or bytes in memory, one byte, one field or one run of bytes
// at a time. Every decoder and parser of file input reads through this one
// class, and the fuzz targets hand it their bytes directly.
//
// A regular file is mapped whole, so that reading it copies nothing and
// touches no fresh memory; anything else (a pipe, a device, a file of
// unknown size) is read in blocks into a buffer. Reading past the end, or a
// read the system refuses, sets the failure flag; it stays set until it is
// cleared, so a caller can read a whole header and check once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "io/endian.h"
#include "io/fd.h"

namespace kexio::io {

class ByteReader {
 public:
  // A reader with nothing to read.
  ByteReader() = default;
  // Over size bytes at data, which must outlive the reader.
  ByteReader(const void* data, std::size_t size);
  // Over an open file, which the reader takes over. A regular file is
  // mapped, and with read_ahead the kernel starts reading all of it at once:
  // a reader that takes only headers through the mapping and copies its bulk
  // with pread leaves that off, since the advice alone visits every cached
  // page of the file (a tenth of a millisecond for 10 MiB).
  explicit ByteReader(Fd fd, bool read_ahead = true);

  ByteReader(ByteReader&& other) noexcept;
  ByteReader& operator=(ByteReader&& other) noexcept;
  ByteReader(const ByteReader&) = delete;
  ByteReader& operator=(const ByteReader&) = delete;
  ~ByteReader();

  // The whole size in bytes, or -1 for a stream whose size is not known.
  std::int64_t size() const { return m_size; }
  // The position of the next byte.
  std::int64_t tell() const { return m_base_pos + (m_p - m_base); }
  // Bytes from the position to the end; for a stream, as many as a signed
  // 64-bit count holds.
  std::int64_t remaining() const { return m_size < 0 ? INT64_MAX : m_size - tell(); }
  // The whole contents when they are in memory (mapped file or memory), else
  // null; a reader positioned anywhere may use them directly.
  const std::uint8_t* contents() const { return m_stream ? nullptr : m_base; }
  // The file descriptor, or -1 over memory.
  int fd() const { return m_fd.get(); }

  // A read ran past the end or the system refused one.
  bool failed() const { return m_failed; }
  // The system refused a read (as opposed to the data ending).
  bool io_error() const { return m_io_error; }
  void clear_failure() { m_failed = false; }

  // The next byte, or -1 (and the failure flag) at the end.
  int get() { return m_p < m_end ? *m_p++ : slow_get(); }
  // The next byte without taking it, or -1 at the end (no failure).
  int peek() { return m_p < m_end ? *m_p : slow_peek(); }
  // Copies up to n bytes; fewer only at the end, which sets the failure flag.
  std::size_t read(void* dst, std::size_t n);
  // The next n bytes, contiguous in memory and valid until the next call,
  // taken; null (failure flag set, nothing taken) when fewer remain. For a
  // stream the buffer grows to n bytes, and more than
  // limits::kStreamMaxBytes count as fewer remaining.
  const std::uint8_t* take(std::size_t n);
  // Up to n of the next bytes without taking them; fewer only at the end.
  // Valid until the next call.
  std::span<const std::uint8_t> window(std::size_t n);
  // Skips n bytes; false (and the failure flag) when fewer remain.
  bool skip(std::uint64_t n);
  // Moves to an absolute position. A stream can move forward, and back
  // within what is still buffered. False (and the failure flag) otherwise or
  // past the end.
  bool seek(std::int64_t pos);

  // Fixed-size fields; 0 and the failure flag when they are cut short.
  std::uint8_t u8() {
    int c = get();
    return c < 0 ? 0 : static_cast<std::uint8_t>(c);
  }
  std::uint16_t le16() { return field<2>(&io::le16); }
  std::uint32_t le32() { return field<4>(&io::le32); }
  std::uint16_t be16() { return field<2>(&io::be16); }
  std::uint32_t be32() { return field<4>(&io::be32); }

 private:
  template <std::size_t N, typename T>
  T field(T (*decode)(const std::uint8_t*)) {
    if (m_end - m_p >= static_cast<std::ptrdiff_t>(N)) {
      T v = decode(m_p);
      m_p += N;
      return v;
    }
    const std::uint8_t* p = take(N);
    return p != nullptr ? decode(p) : T{0};
  }
  int slow_get();
  int slow_peek();
  // Makes at least n bytes available from m_p when the data has them; the
  // count available.
  std::size_t fill(std::size_t n);
  void release();

  Fd m_fd;
  bool m_stream = false;
  bool m_mapped = false;
  bool m_ended = false;  // a stream reached its end
  bool m_failed = false;
  bool m_io_error = false;
  std::int64_t m_size = 0;
  const std::uint8_t* m_base = nullptr;  // first byte in memory
  std::int64_t m_base_pos = 0;           // its position in the file
  const std::uint8_t* m_p = nullptr;
  const std::uint8_t* m_end = nullptr;
  std::unique_ptr<std::uint8_t[]> m_buf;  // a stream's buffer
  std::size_t m_cap = 0;
};

}  // namespace kexio::io
