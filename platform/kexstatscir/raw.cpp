// Raw element I/O of typed matrices: the elements follow each other row by
// row with no header, in little-endian (flag 0) or big-endian (flag 1) byte
// order.
//
// Reading goes straight from the file into the record's storage; elements
// of the other byte order are swapped a block at a time right after the
// block is read, while it is still in the cache. Writing in this machine's
// order hands the storage to the file as it is; the other order is swapped
// into a block-sized buffer on the way out.
#include <sys/types.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

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

template <typename U>
U byteswap(U v) {
  if constexpr (sizeof(U) == 2) {
    return static_cast<U>(__builtin_bswap16(v));
  } else if constexpr (sizeof(U) == 4) {
    return __builtin_bswap32(v);
  } else {
    return __builtin_bswap64(v);
  }
}

template <typename U>
void swap_each(unsigned char* p, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    U v;
    std::memcpy(&v, p + i * sizeof v, sizeof v);
    v = byteswap(v);
    std::memcpy(p + i * sizeof v, &v, sizeof v);
  }
}

// Reverses the bytes of each of count elements of size bytes.
void swap_elements(unsigned char* p, std::size_t count, std::size_t size) {
  switch (size) {
    case 2:
      return swap_each<std::uint16_t>(p, count);
    case 4:
      return swap_each<std::uint32_t>(p, count);
    case 8:
      return swap_each<std::uint64_t>(p, count);
    default:
      return;
  }
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
  if (fseeko(f, static_cast<off_t>(skip), SEEK_SET) != 0) return io_error("file seek error");
  auto* bytes = static_cast<unsigned char*>(m->data);
  std::size_t total = n * size;
  bool swap = size > 1 && other_order(endian);
  std::size_t block = swap ? kBlock : total;
  for (std::size_t done = 0; done < total;) {
    std::size_t want = total - done < block ? total - done : block;
    std::size_t got = std::fread(bytes + done, 1, want, f);
    if (got < want) {
      if (std::ferror(f)) return io_error("file read error");
      return format_message("file ended after %zu of %zu elements", (done + got) / size, n);
    }
    if (swap) swap_elements(bytes + done, want / size, size);
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
  if (total == 0) {
    // Nothing to write.
  } else if (size == 1 || !other_order(endian)) {
    if (std::fwrite(bytes, 1, total, f) != total) return io_error("file write error");
  } else {
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kBlock]);
    if (!buffer) return "out of memory";
    for (std::size_t done = 0; done < total;) {
      std::size_t k = total - done < kBlock ? total - done : kBlock;
      std::memcpy(buffer.get(), bytes + done, k);
      swap_elements(buffer.get(), k / size, size);
      if (std::fwrite(buffer.get(), 1, k, f) != k) return io_error("file write error");
      done += k;
    }
  }
  if (std::fflush(f) != 0) return io_error("file write error");
  return nullptr;
}

}  // namespace mutils
