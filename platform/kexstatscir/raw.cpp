// Raw element I/O of typed matrices: the elements follow each other row by
// row with no header, in little-endian (flag 0) or big-endian (flag 1) byte
// order.
//
// Reading goes straight from the file into the record's storage; elements
// of the other byte order are swapped a block at a time right after the
// block is read, while it is still in the cache. Writing in this machine's
// order hands the storage to the file as it is; the other order is swapped
// into a block-sized buffer on the way out.
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "io/endian.h"
#include "io/fd.h"
#include "records.h"

namespace {

using mutils::detail::element_count;
using mutils::detail::element_size;
using mutils::detail::format_message;

constexpr std::size_t kBlock = std::size_t{1} << 20;  // a multiple of every element size

bool other_order(unsigned char endian) {
  bool big = endian != 0;
  return big != (std::endian::native == std::endian::big);
}

const char* io_error(const char* what) {
  return format_message("%s: %s", what, std::strerror(errno));
}

}  // namespace

namespace mutils {

const char* matuniv_read_raw(std::FILE* f, std::int32_t skip, unsigned char endian,
                             void* /*context*/, _univ_mat* m) {
  if (f == nullptr) return "no file";
  if (const char* why = detail::check_record(m)) return why;
  if (skip < 0) return "negative byte offset";
  std::size_t size = element_size(m->type);
  std::size_t n = element_count(m);
  if (n == 0) return nullptr;
  // The stream's buffer, if any, is left behind: the elements are read
  // from its file directly.
  const int fd = fileno(f);
  if (fd < 0 || !kexio::io::seek(fd, skip)) return io_error("file seek error");
  auto* bytes = static_cast<unsigned char*>(m->data);
  std::size_t total = n * size;
  bool swap = size > 1 && other_order(endian);
  std::size_t block = swap ? kBlock : total;
  for (std::size_t done = 0; done < total;) {
    std::size_t want = total - done < block ? total - done : block;
    const std::int64_t got = kexio::io::read_full(fd, bytes + done, want);
    if (got < 0) return io_error("file read error");
    if (static_cast<std::size_t>(got) < want) {
      return format_message("file ended after %zu of %zu elements",
                            (done + static_cast<std::size_t>(got)) / size, n);
    }
    if (swap) kexio::io::swap_elements(bytes + done, want, size);
    done += want;
  }
  return nullptr;
}

const char* matuniv_write_raw(std::FILE* f, const _univ_mat* m, unsigned char endian,
                              void* /*context*/) {
  if (f == nullptr) return "no file";
  if (const char* why = detail::check_record(m)) return why;
  std::size_t size = element_size(m->type);
  std::size_t total = element_count(m) * size;
  const auto* bytes = static_cast<const unsigned char*>(m->data);
  // Whatever the stream holds goes first; the elements then go to its file
  // directly.
  if (std::fflush(f) != 0) return io_error("file write error");
  const int fd = fileno(f);
  if (fd < 0) return io_error("file write error");
  if (total == 0) {
    // Nothing to write.
  } else if (size == 1 || !other_order(endian)) {
    if (!kexio::io::write_full(fd, bytes, total)) return io_error("file write error");
  } else {
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kBlock]);
    if (!buffer) return "out of memory";
    for (std::size_t done = 0; done < total;) {
      std::size_t k = total - done < kBlock ? total - done : kBlock;
      std::memcpy(buffer.get(), bytes + done, k);
      kexio::io::swap_elements(buffer.get(), k, size);
      if (!kexio::io::write_full(fd, buffer.get(), k)) return io_error("file write error");
      done += k;
    }
  }
  return nullptr;
}

}  // namespace mutils
