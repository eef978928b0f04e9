// Files at the level of the operating system: one owner of a descriptor,
// opening with the error kept, and whole reads and writes. Interrupted calls
// (EINTR) are retried here and nowhere else in the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kexio::io {

// Owns one file descriptor and closes it when destroyed.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) noexcept : m_fd(fd) {}
  Fd(Fd&& other) noexcept : m_fd(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      close();
      m_fd = other.release();
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { close(); }

  int get() const noexcept { return m_fd; }
  explicit operator bool() const noexcept { return m_fd >= 0; }
  int release() noexcept {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  // Closes the descriptor now: 0, or the errno of a failed close (a write
  // error that the file system reports late counts as a failed write).
  int close() noexcept;

 private:
  int m_fd = -1;
};

// What fstat tells about an open file.
struct FileKind {
  bool regular = false;
  bool directory = false;
  std::int64_t size = 0;  // bytes of a regular file, 0 for anything else
};
FileKind kind_of(int fd);

// Opens path for reading. On failure the Fd is empty and errno tells why; a
// folder is refused with EISDIR, so that every reader reports it as a file it
// cannot open.
Fd open_read(const std::string& path);

// Opens path with the given open(2) flags (O_CLOEXEC is added) and mode for
// a new file. On failure the Fd is empty and errno tells why.
Fd open_with(const std::string& path, int flags, unsigned mode = 0666);

// A new descriptor (close-on-exec) of the file open as fd; empty (errno set)
// when none can be had.
Fd duplicate(int fd);

// One read(2) of at most n bytes: the count (0 at the end of the file), or
// -1 (errno set) when the system reports an error.
std::int64_t read_some(int fd, void* dst, std::size_t n);
// Reads until n bytes have arrived or the file ends: the count read, or -1
// (errno set) when the system reports an error.
std::int64_t read_full(int fd, void* dst, std::size_t n);
// The same from an absolute position, without moving the file position.
std::int64_t pread_full(int fd, void* dst, std::size_t n, std::int64_t offset);
// Moves the file position to pos: false (errno set) when the file cannot
// go there (a pipe, a position before the start).
bool seek(int fd, std::int64_t pos);
// Writes all n bytes: false (errno set) when that fails; a write that makes
// no progress counts as failed with ENOSPC.
bool write_full(int fd, const void* src, std::size_t n);

// Whether path names something that exists (any kind of file).
bool exists(const std::string& path);

// Why opening, reading or writing path failed with errno err, for people:
// the reason in a few words and the path made absolute, as in
// "no such file: /data/a.prn". A missing folder on the way is named as such
// ("no such folder: /data"). Empty when err is 0.
std::string failure_detail(int err, const std::string& path);

// What path names when that is not a regular file, in the same form: "is a
// folder: /data/sub", "is a device, not a regular file: /dev/zero" (or a
// FIFO, a socket). Empty for a regular file or a path that cannot be
// examined.
std::string kind_detail(const std::string& path);

// The errno a detail of failure_detail was made from, read back from its
// reason ("no such file: /a" and "no such folder: /b" give ENOENT; texts
// that several errno values share give the first of them); 0 for a detail
// of any other form.
int errno_of_detail(std::string_view detail);

}  // namespace kexio::io
