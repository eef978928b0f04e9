// Raw images: Y rows of X pixels of Z interleaved samples of one type, after
// K header bytes, row 0 first. In the matrix each sample of a pixel has a
// plane of its own, the planes side by side, as colour images are packed.
#include <fcntl.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "io/fd.h"
#include "keximager.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"

namespace keximager {

namespace {

namespace io = kexio::io;

constexpr double kInt32Max = 2147483647.0;
constexpr double kMaxSkip = 9007199254740992.0;  // 2^53: every smaller whole number is exact
// More samples than this (2^60) could not be held as doubles by any machine;
// the limit keeps the byte counts below from overflowing.
constexpr std::uint64_t kMaxSamples = std::uint64_t{1} << 60;
// Bytes of the file read and converted at a time: enough rows for long runs
// down each column, few enough to stay in the cache meanwhile.
constexpr std::size_t kReadBand = std::size_t{1} << 20;
constexpr std::size_t kWriteBand = std::size_t{1} << 20;

// A whole, non-negative real number up to max.
std::uint64_t whole(const aComplex* v, std::uint32_t index, double max = kInt32Max) {
  const double x = v->rp;
  if (v->ip != 0.0 || !(x == std::floor(x)) || x < 0) {
    Kex::Throw("must be non-negative integer", index);
  }
  if (x > max) Kex::Throw("integer too large", index);
  return static_cast<std::uint64_t>(x);
}

unsigned samples_per_pixel(const aComplex* v, std::uint32_t index) {
  const double x = v->rp;
  if (v->ip != 0.0 || !(x == 1 || x == 2 || x == 3 || x == 4)) {
    Kex::Throw("must be 1, 2, 3 or 4", index);
  }
  return static_cast<unsigned>(x);
}

SampleType type_named(const char* word, std::uint32_t index) {
  SampleType t{};
  if (!sample_type(word, t)) Kex::Throw("unrecognized value", index);
  return t;
}

// The geometry of a raw file.
struct Layout {
  std::uint64_t width, height;
  unsigned planes;
  SampleType type;
  std::uint64_t row_samples() const { return width * planes; }
};

template <typename T, bool Swap>
inline double load(const std::uint8_t* p) {
  using U = std::conditional_t<
      sizeof(T) == 1, std::uint8_t,
      std::conditional_t<sizeof(T) == 2, std::uint16_t,
                         std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
  U u;
  std::memcpy(&u, p, sizeof u);
  if constexpr (Swap && sizeof(T) == 2) u = __builtin_bswap16(u);
  if constexpr (Swap && sizeof(T) == 4) u = __builtin_bswap32(u);
  if constexpr (Swap && sizeof(T) == 8) u = __builtin_bswap64(u);
  return static_cast<double>(std::bit_cast<T>(u));
}

// Samples first .. end - 1 of count rows (src: the first of them, rows
// stride bytes apart) into the matrix rows top .. top + count - 1: sample i
// of a row is plane i % planes of pixel i / planes. Blocks of four samples
// of four rows are turned around in registers, so that each column receives
// four rows at once and its run of rows is written front to back.
template <typename T, bool Swap>
void unpack(const Layout& l, const std::uint8_t* src, std::size_t stride, std::uint32_t count,
            std::uint64_t first, std::uint64_t end, std::uint64_t top, double* out) {
  constexpr std::size_t kSize = sizeof(T);
  std::uint64_t x = first / l.planes;
  unsigned p = static_cast<unsigned>(first % l.planes);
  auto next_column = [&] {
    double* dst = out + (p * l.width + x) * l.height + top;
    if (++p == l.planes) {
      p = 0;
      ++x;
    }
    return dst;
  };
  std::uint64_t i = first;
  for (; i + 4 <= end; i += 4) {
    double* d[4] = {next_column(), next_column(), next_column(), next_column()};
    const std::uint8_t* s = src + (i - first) * kSize;
    std::uint32_t k = 0;
    for (; k + 4 <= count; k += 4, s += 4 * stride) {
      double v[4][4];  // [row][sample]
      for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c)
          v[r][c] = load<T, Swap>(s + r * stride + c * kSize);
      }
      for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r)
          d[c][k + r] = v[r][c];
      }
    }
    for (; k < count; ++k, s += stride) {
      for (int c = 0; c < 4; ++c)
        d[c][k] = load<T, Swap>(s + c * kSize);
    }
  }
  for (; i < end; ++i) {
    double* dst = next_column();
    const std::uint8_t* s = src + (i - first) * kSize;
    for (std::uint32_t k = 0; k < count; ++k, s += stride)
      dst[k] = load<T, Swap>(s);
  }
}

using Unpack = void (*)(const Layout&, const std::uint8_t*, std::size_t, std::uint32_t,
                        std::uint64_t, std::uint64_t, std::uint64_t, double*);

template <typename T>
Unpack unpacker_of(bool swap) {
  return swap ? &unpack<T, true> : &unpack<T, false>;
}

Unpack unpacker(const SampleType& t) {
  const bool swap = t.size > 1 && t.big_endian != (std::endian::native == std::endian::big);
  switch (t.code) {
    case MUTIL_UINT8:
      return unpacker_of<std::uint8_t>(false);
    case MUTIL_SINT8:
      return unpacker_of<std::int8_t>(false);
    case MUTIL_UINT16:
      return unpacker_of<std::uint16_t>(swap);
    case MUTIL_SINT16:
      return unpacker_of<std::int16_t>(swap);
    case MUTIL_UINT32:
      return unpacker_of<std::uint32_t>(swap);
    case MUTIL_SINT32:
      return unpacker_of<std::int32_t>(swap);
    case MUTIL_FLOAT:
      return unpacker_of<float>(swap);
    default:
      return unpacker_of<double>(swap);
  }
}

[[noreturn]] void read_failed(int error) {
  Kex::Throw((std::string("file read error: ") + std::strerror(error)).c_str(), 1);
}

// Fills the matrix from the file, a band of whole rows at a time, or a
// piece of one row at a time when a row alone is larger than a band.
void read_samples(int fd, std::uint64_t skip, const Layout& l, double* out) {
  const Unpack convert = unpacker(l.type);
  const std::uint64_t row_bytes = l.row_samples() * l.type.size;
  const std::uint64_t band_rows = kReadBand / row_bytes;
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kReadBand]);
  auto fetch = [&](std::uint64_t offset, std::size_t n) {
    std::int64_t got = io::pread_full(fd, buffer.get(), n, static_cast<std::int64_t>(offset));
    if (got < 0) read_failed(errno);
    if (static_cast<std::size_t>(got) < n) read_failed(EIO);  // the file shrank meanwhile
    return buffer.get();
  };
  for (std::uint64_t top = 0; top < l.height;) {
    if (band_rows > 0) {
      const auto count = static_cast<std::uint32_t>(std::min(band_rows, l.height - top));
      convert(l, fetch(skip + top * row_bytes, count * row_bytes), row_bytes, count, 0,
              l.row_samples(), top, out);
      top += count;
    } else {
      const std::uint64_t piece = kReadBand / l.type.size;
      for (std::uint64_t i = 0; i < l.row_samples(); i += piece) {
        const std::uint64_t stop = std::min(l.row_samples(), i + piece);
        convert(l, fetch(skip + top * row_bytes + i * l.type.size, (stop - i) * l.type.size), 0, 1,
                i, stop, top, out);
      }
      ++top;
    }
  }
}

}  // namespace

aMatrix* read_raw(KexCallContext* ctx, const char* file, const aComplex* x, const aComplex* y,
                  const aComplex* z, const char* s, const aComplex* k, const char* cwd) {
  Layout l{whole(x, 2), whole(y, 3), samples_per_pixel(z, 4), type_named(s, 5)};
  const std::uint64_t skip = whole(k, 6, kMaxSkip);
  if (static_cast<double>(l.row_samples()) > kInt32Max) Kex::Throw("integer too large", 2);

  io::Fd fd = io::open_read(resolve(file, cwd, CHTTPRedirector::kRead));
  if (!fd) Kex::Throw("file open error", 1);
  // Settled against the file's size before anything is allocated; pipes
  // and devices have no size and count as empty.
  const std::uint64_t samples = l.height * l.row_samples();
  if (samples > kMaxSamples) {
    Kex::Throw(("expected " + std::to_string(samples) + " samples, more than can be held in memory")
                   .c_str(),
               1);
  }
  const std::uint64_t need = skip + samples * l.type.size;
  const auto have = static_cast<std::uint64_t>(io::kind_of(fd.get()).size);
  if (need > have) {
    Kex::Throw(
        ("expected " + std::to_string(need) + " bytes, file holds " + std::to_string(have)).c_str(),
        1);
  }
  double* values = Kex::allocate_doubles(static_cast<std::size_t>(samples));
  aMatrix* result = values == nullptr
                        ? nullptr
                        : Kex::new_real_matrix(ctx->m_alloc, static_cast<std::uint32_t>(l.height),
                                               static_cast<std::uint32_t>(l.row_samples()), values);
  if (result == nullptr) Kex::Throw("out of memory", 1);
  if (samples > 0) read_samples(fd.get(), skip, l, values);
  return result;
}

void write_raw(const aMatrix* m, const char* file, const aComplex* x, const char* s,
               const char* cwd) {
  const unsigned planes = samples_per_pixel(x, 2);
  const SampleType type = type_named(s, 3);
  if (!pure_real(m)) Kex::Throw("must be real matrix", 4);
  if (m->cols % planes != 0) Kex::Throw("not a packed image matrix", 4);
  RowPacker rows(m, planes, type, kWriteBand);
  Output out(resolve(file, cwd, CHTTPRedirector::kWrite), O_WRONLY);
  for (std::uint32_t top = 0; top < rows.height(); top += rows.band_rows()) {
    const std::uint32_t n = std::min(rows.band_rows(), rows.height() - top);
    out.write(rows.rows(top, n), n * rows.row_bytes());
  }
  out.commit();
}

}  // namespace keximager
