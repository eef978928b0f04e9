#include "io/fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kexio::io {

int Fd::close() noexcept {
  if (m_fd < 0) return 0;
  int fd = release();
  // Linux releases the descriptor even when close fails (EINTR included), so
  // it is never retried.
  return ::close(fd) == 0 ? 0 : errno;
}

FileKind kind_of(int fd) {
  FileKind k;
  struct stat st {};
  if (fd >= 0 && ::fstat(fd, &st) == 0) {
    k.regular = S_ISREG(st.st_mode);
    k.directory = S_ISDIR(st.st_mode);
    if (k.regular) k.size = st.st_size;
  }
  return k;
}

Fd open_with(const std::string& path, int flags, unsigned mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  return Fd(fd);
}

Fd open_read(const std::string& path) {
  Fd fd = open_with(path, O_RDONLY);
  if (fd && kind_of(fd.get()).directory) {
    fd.close();
    errno = EISDIR;
  }
  return fd;
}

std::int64_t read_some(int fd, void* dst, std::size_t n) {
  for (;;) {
    ssize_t got = ::read(fd, dst, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

std::int64_t read_full(int fd, void* dst, std::size_t n) {
  auto* out = static_cast<unsigned char*>(dst);
  std::size_t done = 0;
  while (done < n) {
    std::int64_t got = read_some(fd, out + done, n - done);
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t pread_full(int fd, void* dst, std::size_t n, std::int64_t offset) {
  auto* out = static_cast<unsigned char*>(dst);
  std::size_t done = 0;
  while (done < n) {
    ssize_t got = ::pread(fd, out + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(done);
}

bool write_full(int fd, const void* src, std::size_t n) {
  const auto* in = static_cast<const unsigned char*>(src);
  std::size_t done = 0;
  while (done < n) {
    ssize_t put = ::write(fd, in + done, n - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace kexio::io
