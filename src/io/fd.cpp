#include "io/fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

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

Fd duplicate(int fd) {
  return Fd(fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : (errno = EBADF, -1));
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

bool seek(int fd, std::int64_t pos) {
  return ::lseek(fd, static_cast<off_t>(pos), SEEK_SET) >= 0;
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

namespace {

// The reasons details give for the usual errno values; any other errno is
// said by strerror.
struct Reason {
  int err;
  const char* text;
};
constexpr Reason kReasons[] = {
    {ENOENT, "no such file"},
    {EISDIR, "is a folder"},
    {EACCES, "permission denied"},
    {EPERM, "permission denied"},
    {ENOTDIR, "a part of the path is not a folder"},
    {ENOSPC, "no space left on the device"},
    {EDQUOT, "disk quota exceeded"},
    {EROFS, "read-only file system"},
    {ENAMETOOLONG, "the name is too long"},
    {ELOOP, "too many symbolic links"},
    {EMFILE, "too many open files"},
    {ENFILE, "too many open files"},
    {EFBIG, "the file would be too large"},
    {ETXTBSY, "the file is busy"},
    {EIO, "input/output error"},
};
constexpr const char* kNoFolder = "no such folder";

const char* reason(int err) {
  for (const Reason& r : kReasons) {
    if (r.err == err) return r.text;
  }
  return nullptr;
}

// The path as details show it: absolute and without "." or "..".
std::filesystem::path shown(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = path.empty() ? fs::path() : fs::absolute(path, ec);
  if (ec) p = path;
  return p.lexically_normal();
}

}  // namespace

std::string kind_detail(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return {};
  if (S_ISDIR(st.st_mode)) return failure_detail(EISDIR, path);
  const char* what = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "is a device"
                     : S_ISFIFO(st.st_mode)                     ? "is a FIFO"
                                                                : "is a socket";
  return std::string(what) + ", not a regular file: " + shown(path).string();
}

std::string failure_detail(int err, const std::string& path) {
  if (err == 0) return {};
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = shown(path);
  std::string why;
  if (const char* r = reason(err)) {
    why = r;
  } else {
    why = std::strerror(err);
    if (!why.empty() && why[0] >= 'A' && why[0] <= 'Z' && !(why.size() > 1 && why[1] <= 'Z')) {
      why[0] = static_cast<char>(why[0] - 'A' + 'a');
    }
  }
  if (err == ENOENT) {
    // The first folder on the way that does not exist, when one is missing.
    fs::path existing = p.parent_path();
    fs::path missing;
    while (!existing.empty() && existing != existing.root_path() && !fs::exists(existing, ec)) {
      missing = existing;
      existing = existing.parent_path();
    }
    if (!missing.empty()) return std::string(kNoFolder) + ": " + missing.string();
  }
  return why + ": " + p.string();
}

int errno_of_detail(std::string_view detail) {
  auto starts = [&](std::string_view reason) {
    return detail.size() > reason.size() + 2 && detail.starts_with(reason) &&
           detail.substr(reason.size(), 2) == ": ";
  };
  if (starts(kNoFolder)) return ENOENT;
  for (const Reason& r : kReasons) {
    if (starts(r.text)) return r.err;  // the first errno of a shared text
  }
  return 0;
}

}  // namespace kexio::io
