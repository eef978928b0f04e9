// A buffered, read-only file for the decoders: large reads go straight to
// the destination, small ones (run-length codes) come from a 64 KiB buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kexio {

class InputFile {
 public:
  explicit InputFile(const char* path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool is_open() const { return m_fd >= 0; }
  // The file's size in bytes when it was opened (0 when it is not open).
  std::int64_t size() const { return m_size; }
  // The position of the next byte to be read.
  std::int64_t tell() const { return m_buf_pos + static_cast<std::int64_t>(m_next); }

  // Reads up to n bytes; returns how many arrived. A short read sets the
  // failure flag.
  std::size_t read(void* dst, std::size_t n);
  // The next byte, or -1 (and the failure flag) at the end or on an error.
  int get() {
    if (m_next < m_end) return m_buf[m_next++];
    return refill_and_get();
  }
  // Moves to an absolute position; a negative one sets the failure flag.
  void seek(std::int64_t pos);

  bool failed() const { return m_failed; }
  void clear() { m_failed = false; }

 private:
  int refill_and_get();
  bool fill();
  std::size_t raw_read(void* dst, std::size_t n);

  int m_fd = -1;
  std::int64_t m_size = 0;
  std::vector<unsigned char> m_buf;
  std::int64_t m_buf_pos = 0;  // file position of m_buf[0]
  std::size_t m_next = 0;
  std::size_t m_end = 0;
  bool m_failed = false;
};

}  // namespace kexio
