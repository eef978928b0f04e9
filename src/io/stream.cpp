#include "io/stream.h"

#include <fcntl.h>

#include <cerrno>

namespace kexio::io {

Stream stream_from(Fd fd, const char* mode) {
  if (!fd) return nullptr;
  std::FILE* f = ::fdopen(fd.get(), mode);
  if (f != nullptr) fd.release();
  return Stream(f);
}

Stream stream_over(int fd, const char* mode) {
  return stream_from(Fd(::fcntl(fd, F_DUPFD_CLOEXEC, 0)), mode);
}

int close_stream(Stream& s) {
  if (!s) return 0;
  return std::fclose(s.release()) == 0 ? 0 : errno;
}

}  // namespace kexio::io
