// A buffered write-only file for the encoder: bytes gather in a 1 MiB buffer
// and go to the file in large writes. A failed write marks the file bad;
// nothing is written after that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kexio {

class OutputFile {
 public:
  // Creates or truncates path. On failure is_open() is false and
  // open_errno() tells why.
  explicit OutputFile(const char* path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool is_open() const { return m_fd >= 0; }
  int open_errno() const { return m_open_errno; }
  bool bad() const { return m_bad; }

  // Appends n bytes at the current position.
  void write(const void* src, std::size_t n);
  // n zero bytes.
  void zeros(std::size_t n);
  // Room for n bytes at the current position, filled by the caller; null
  // when the file is bad.
  unsigned char* reserve(std::size_t n);
  std::int64_t tell() const { return m_pos + static_cast<std::int64_t>(m_used); }
  // Writes out what is buffered and moves to an absolute position.
  void seek(std::int64_t pos);
  // Writes out what is buffered and closes the file.
  void close();

 private:
  void flush();

  int m_fd = -1;
  int m_open_errno = 0;
  bool m_bad = false;
  std::unique_ptr<unsigned char[]> m_buf;  // not zero-filled
  std::size_t m_capacity = 0;
  std::size_t m_used = 0;
  std::int64_t m_pos = 0;  // file position of m_buf[0]
};

}  // namespace kexio
