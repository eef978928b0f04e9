// A small serialization layer for colormap files: little-endian integers and
// length-prefixed strings in the byte forms of the platform's classic archive
// format, moved through a 4096-byte buffer over a file descriptor.
//
// String length prefixes:
//   L                      one byte, L < 0xFF
//   FF, W                  a 16-bit length, W < 0xFFFF
//   FF, FFFF, D            a 32-bit length
//   FF, FFFE, <prefix>     marks a string of 2-byte characters; the length
//                          (in characters) follows in one of the forms above
// The writer always uses the shortest form with 1-byte characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kexio::archive {

// A failure of the file or of the archive, with the text to report.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text of a failure of `what` ("cannot open", ...) on `path` for errno e.
std::string describe(const char* what, const std::string& path, int e);

// A file descriptor, closed when the owner goes away.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : m_fd(fd) {}
  ~FileHandle() { reset(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&& other) noexcept : m_fd(other.release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) {
      reset();
      m_fd = other.release();
    }
    return *this;
  }
  int release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  int get() const { return m_fd; }
  explicit operator bool() const { return m_fd >= 0; }
  // Closes the descriptor; false (errno set) when closing reported an error.
  bool reset();

 private:
  int m_fd = -1;
};

// Reads archive values from a descriptor opened for reading.
class Loader {
 public:
  Loader(int fd, std::string path);
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  std::uint8_t read_u8();
  std::uint16_t read_u16();
  std::uint32_t read_u32();
  std::int32_t read_i32() { return static_cast<std::int32_t>(read_u32()); }
  void read(void* dst, std::size_t n);
  // A string in any prefix form. 2-byte characters become single-byte text:
  // code units up to 0xFF keep their value, higher ones become '?'.
  std::string read_string();
  // Bytes left before the end of a regular file; UINT64_MAX when the size of
  // the input is not known.
  std::uint64_t remaining() const;
  // Fails with the end-of-file text.
  [[noreturn]] void end_of_file() const;

 private:
  void fill();
  std::uint32_t read_string_length(bool* wide);

  int m_fd;
  std::string m_path;
  bool m_sized = false;
  std::uint64_t m_size = 0;      // size of a regular file
  std::uint64_t m_consumed = 0;  // bytes handed out so far
  std::size_t m_pos = 0;
  std::size_t m_end = 0;
  unsigned char m_buf[4096];
};

// Writes archive values to a descriptor opened for writing. Nothing reaches
// the file before the buffer is full or flush() is called.
class Storer {
 public:
  Storer(int fd, std::string path);
  Storer(const Storer&) = delete;
  Storer& operator=(const Storer&) = delete;

  void write_u8(std::uint8_t v) { write(&v, 1); }
  void write_u16(std::uint16_t v);
  void write_u32(std::uint32_t v);
  void write(const void* src, std::size_t n);
  void write_string(std::string_view s);
  void flush();

 private:
  int m_fd;
  std::string m_path;
  std::size_t m_used = 0;
  unsigned char m_buf[4096];
};

}  // namespace kexio::archive
