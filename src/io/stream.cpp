#include "io/stream.h"

#include <algorithm>
#include <cerrno>
#include <new>

namespace kexio::io {

Stream stream_from(Fd fd, const char* mode) {
  if (!fd) return nullptr;
  std::FILE* f = ::fdopen(fd.get(), mode);
  if (f != nullptr) fd.release();
  return Stream(f);
}

Stream stream_over(int fd, const char* mode) {
  return stream_from(duplicate(fd), mode);
}

bool read_rest(std::FILE* f, std::vector<std::uint8_t>& out, std::uint64_t limit) {
  std::size_t n = 0;
  try {
    out.resize(std::size_t{64} << 10);
    for (;;) {
      if (n == out.size()) {
        if (n >= limit) return false;
        out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(2 * n, limit)));
      }
      const std::size_t want = out.size() - n;
      const std::size_t got = std::fread(out.data() + n, 1, want, f);
      n += got;
      if (got < want) break;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (std::ferror(f)) return false;
  out.resize(n);
  return true;
}

int close_stream(Stream& s) {
  if (!s) return 0;
  return std::fclose(s.release()) == 0 ? 0 : errno;
}

}  // namespace kexio::io
