// Raw images: Y rows of X pixels of Z interleaved samples of one type, after
// K header bytes, row 0 first. In the matrix each sample of a pixel has a
// plane of its own, the planes side by side, as colour images are packed.
#include <fcntl.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>

#include "core/limits.h"
#include "core/parallel.h"
#include "io/endian.h"
#include "io/fd.h"
#include "io/mapping.h"
#include "keximager.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"

namespace keximager {

namespace {

namespace io = kexio::io;

namespace limits = kexio::limits;

constexpr double kInt32Max = static_cast<double>(limits::kMaxInt32);
// Bytes of each row converted per strip, rows per tile of a strip, and bytes
// per tile of rows short enough to convert whole: a tile stays in the first
// level cache, a strip's columns fill about one huge page of the result.
constexpr std::size_t kStripBytes = 256;
constexpr std::uint32_t kTileRows = 64;
constexpr std::size_t kTileBytes = std::size_t{16} << 10;
// Files of at least this many sample bytes are read and converted by up to
// kMaxParts threads.
constexpr std::size_t kThreadedBytes = std::size_t{1} << 20;
constexpr unsigned kMaxParts = 4;
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
  if constexpr (Swap) u = kexio::io::byteswap(u);
  return static_cast<double>(std::bit_cast<T>(u));
}

// Four samples of four rows (s: the first, rows stride bytes apart) into
// rows k .. k + 3 of the four columns d.
template <typename T, bool Swap>
inline void block(const std::uint8_t* s, std::size_t stride, double* const* d, std::uint32_t k) {
  double v[4][4];  // [row][sample]
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c)
      v[r][c] = load<T, Swap>(s + r * stride + c * sizeof(T));
  }
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r)
      d[c][k + r] = v[r][c];
  }
}

#if defined(__x86_64__)
// The samples of type T in x in this machine's byte order.
template <typename T, bool Swap>
__attribute__((target("avx2"))) inline __m128i ordered(__m128i x) {
  if constexpr (!Swap || sizeof(T) == 1) {
    return x;
  } else {
    const __m128i order =
        sizeof(T) == 2   ? _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14)
        : sizeof(T) == 4 ? _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12)
                         : _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    return _mm_shuffle_epi8(x, order);
  }
}

// Four consecutive samples at p as doubles, converted as load() converts one.
template <typename T, bool Swap>
__attribute__((target("avx2"))) inline __m256d load4(const std::uint8_t* p) {
  const auto* q = reinterpret_cast<const __m128i*>(p);
  if constexpr (std::is_same_v<T, double>) {
    return _mm256_castsi256_pd(_mm256_set_m128i(ordered<T, Swap>(_mm_loadu_si128(q + 1)),
                                                ordered<T, Swap>(_mm_loadu_si128(q))));
  } else if constexpr (std::is_same_v<T, float>) {
    return _mm256_cvtps_pd(_mm_castsi128_ps(ordered<T, Swap>(_mm_loadu_si128(q))));
  } else if constexpr (std::is_same_v<T, std::int32_t>) {
    return _mm256_cvtepi32_pd(ordered<T, Swap>(_mm_loadu_si128(q)));
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    // Converted as signed, then 2^32 added to what came out negative.
    const __m256d v = _mm256_cvtepi32_pd(ordered<T, Swap>(_mm_loadu_si128(q)));
    const __m256d negative = _mm256_cmp_pd(v, _mm256_setzero_pd(), _CMP_LT_OQ);
    return _mm256_add_pd(v, _mm256_and_pd(negative, _mm256_set1_pd(4294967296.0)));
  } else if constexpr (sizeof(T) == 2) {
    const __m128i x = ordered<T, Swap>(_mm_loadl_epi64(q));
    return _mm256_cvtepi32_pd(std::is_signed_v<T> ? _mm_cvtepi16_epi32(x) : _mm_cvtepu16_epi32(x));
  } else {
    std::int32_t four;
    std::memcpy(&four, p, sizeof four);
    const __m128i x = _mm_cvtsi32_si128(four);
    return _mm256_cvtepi32_pd(std::is_signed_v<T> ? _mm_cvtepi8_epi32(x) : _mm_cvtepu8_epi32(x));
  }
}

// block() with the four rows turned into four columns in registers.
template <typename T, bool Swap>
__attribute__((target("avx2"))) inline void block_avx2(const std::uint8_t* s, std::size_t stride,
                                                       double* const* d, std::uint32_t k) {
  const __m256d r0 = load4<T, Swap>(s), r1 = load4<T, Swap>(s + stride),
                r2 = load4<T, Swap>(s + 2 * stride), r3 = load4<T, Swap>(s + 3 * stride);
  const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1),
                t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
  _mm256_storeu_pd(d[0] + k, _mm256_permute2f128_pd(t0, t2, 0x20));
  _mm256_storeu_pd(d[1] + k, _mm256_permute2f128_pd(t1, t3, 0x20));
  _mm256_storeu_pd(d[2] + k, _mm256_permute2f128_pd(t0, t2, 0x31));
  _mm256_storeu_pd(d[3] + k, _mm256_permute2f128_pd(t1, t3, 0x31));
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");
#endif

// Samples first .. end - 1 of count rows (src: the first of them, rows
// stride bytes apart) into the matrix rows top .. top + count - 1: sample i
// of a row is plane i % planes of pixel i / planes. Blocks of four samples
// of four rows are turned around (Block), so that each column receives four
// rows at once and its run of rows is written front to back.
template <typename T, bool Swap, auto Block>
__attribute__((always_inline)) inline void unpack_with(const Layout& l, const std::uint8_t* src,
                                                       std::size_t stride, std::uint32_t count,
                                                       std::uint64_t first, std::uint64_t end,
                                                       std::uint64_t top, double* out) {
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
    for (; k + 4 <= count; k += 4, s += 4 * stride)
      Block(s, stride, d, k);
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

template <typename T, bool Swap>
void unpack(const Layout& l, const std::uint8_t* src, std::size_t stride, std::uint32_t count,
            std::uint64_t first, std::uint64_t end, std::uint64_t top, double* out) {
  unpack_with<T, Swap, &block<T, Swap>>(l, src, stride, count, first, end, top, out);
}

#if defined(__x86_64__)
template <typename T, bool Swap>
__attribute__((target("avx2"))) void unpack_avx2(const Layout& l, const std::uint8_t* src,
                                                 std::size_t stride, std::uint32_t count,
                                                 std::uint64_t first, std::uint64_t end,
                                                 std::uint64_t top, double* out) {
  unpack_with<T, Swap, &block_avx2<T, Swap>>(l, src, stride, count, first, end, top, out);
}
#endif

template <typename T>
Unpack unpacker_of(bool swap) {
#if defined(__x86_64__)
  if (kHaveAvx2) return swap ? &unpack_avx2<T, true> : &unpack_avx2<T, false>;
#endif
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

// The samples (all rows in memory) into the matrix, as a strip of whole
// pixels at a time from the top row to the bottom, each strip in tiles of
// rows. Going down a strip fills its columns front to back, so the result's
// pages are written while the kernel's zeroing of them is still in the
// cache; tiles of long rows are first copied together, since rows a
// multiple of a page apart would all fall into the same few cache sets.
// Part part of parts takes a run of the strips, or of the rows when a row
// is one strip.
void unpack_samples(const std::uint8_t* data, const Layout& l, double* out, unsigned part,
                    unsigned parts) {
  const Unpack convert = unpacker(l.type);
  const std::size_t size = l.type.size;
  const std::uint64_t row_samples = l.row_samples();
  const std::uint64_t row_bytes = row_samples * size;
  if (row_bytes <= kStripBytes) {
    const auto rows = static_cast<std::uint32_t>(
        std::max<std::uint64_t>(kTileRows, kTileBytes / std::max<std::uint64_t>(row_bytes, 1)));
    const std::uint64_t tiles = (l.height + rows - 1) / rows;
    const std::uint64_t end = std::min(l.height, tiles * (part + 1) / parts * rows);
    for (std::uint64_t top = tiles * part / parts * rows; top < end; top += rows) {
      const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(rows, end - top));
      convert(l, data + top * row_bytes, row_bytes, count, 0, row_samples, top, out);
    }
    return;
  }
  const std::uint64_t strip = std::max<std::uint64_t>(kStripBytes / size / l.planes, 1) * l.planes;
  const std::uint64_t strips = (row_samples + strip - 1) / strip;
  alignas(64) std::uint8_t tile[kTileRows * kStripBytes];
  for (std::uint64_t n = strips * part / parts; n < strips * (part + 1) / parts; ++n) {
    const std::uint64_t first = n * strip, end = std::min(row_samples, first + strip);
    const std::size_t width = (end - first) * size;
    for (std::uint64_t top = 0; top < l.height; top += kTileRows) {
      const auto count =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(kTileRows, l.height - top));
      const std::uint8_t* src = data + top * row_bytes + first * size;
      for (std::uint32_t r = 0; r < count; ++r, src += row_bytes)
        std::memcpy(tile + r * width, src, width);
      convert(l, tile, width, count, first, end, top, out);
    }
  }
}

// Fills the matrix from the samples, length bytes after skip: mapped where
// the file can be, else read whole into scratch memory of the call (each
// strip of columns takes a piece of every row). Large files are converted
// by several threads, each a part of the matrix.
void read_samples(int fd, std::uint64_t skip, std::size_t length, const Layout& l, double* out) {
  io::Mapping mapped(fd, skip, length, true);
  const std::uint8_t* data = mapped.data();
  if (data == nullptr) {
    auto* scratch = reinterpret_cast<std::uint8_t*>(Kex::allocate_doubles(length / 8 + 1));
    if (scratch == nullptr) Kex::Throw("out of memory", 1);
    const std::int64_t got = io::pread_full(fd, scratch, length, static_cast<std::int64_t>(skip));
    if (got < 0) read_failed(errno);
    if (static_cast<std::size_t>(got) < length) read_failed(EIO);  // the file shrank meanwhile
    data = scratch;
  }
  const unsigned parts =
      length < kThreadedBytes ? 1 : std::clamp(std::thread::hardware_concurrency(), 1u, kMaxParts);
  kexio::run_all(
      parts, [&](std::size_t i) { unpack_samples(data, l, out, static_cast<unsigned>(i), parts); });
}

}  // namespace

aMatrix* read_raw(KexCallContext* ctx, const char* file, const aComplex* x, const aComplex* y,
                  const aComplex* z, const char* s, const aComplex* k, const char* cwd) {
  Layout l{whole(x, 2), whole(y, 3), samples_per_pixel(z, 4), type_named(s, 5)};
  const std::uint64_t skip = whole(k, 6, limits::kRawMaxSkip);
  if (static_cast<double>(l.row_samples()) > kInt32Max) Kex::Throw("integer too large", 2);

  io::Fd fd = io::open_read(resolve(file, cwd, CHTTPRedirector::kRead));
  if (!fd) Kex::Throw("file open error", 1);
  // Settled against the file's size before anything is allocated; pipes
  // and devices have no size and count as empty.
  const std::uint64_t samples = l.height * l.row_samples();
  if (samples > limits::kRawMaxSamples) {
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
  if (samples > 0) {
    read_samples(fd.get(), skip, static_cast<std::size_t>(need - skip), l, values);
  }
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
