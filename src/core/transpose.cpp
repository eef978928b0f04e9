#include "core/transpose.h"

#include <algorithm>

namespace kexio::columns {

namespace {

// Bytes of each row converted per strip, rows per tile of a strip, and bytes
// per tile of rows short enough to convert whole: a tile stays in the first
// level cache, a strip's columns fill about one huge page of the result.
constexpr std::size_t kStripBytes = 256;
constexpr std::uint32_t kTileRows = 64;
constexpr std::size_t kTileBytes = std::size_t{16} << 10;

}  // namespace

// Short rows go as tiles of whole rows from the top to the bottom. Long
// rows go as strips of whole pixels, each from the top row to the bottom in
// tiles of rows: going down a strip fills its columns front to back, so the
// result's pages are written while the kernel's zeroing of them is still in
// the cache. A tile of a strip is first copied together, since rows a
// multiple of a page apart would all fall into the same few cache sets.
void rows_to_columns(Kernel step, const std::uint8_t* data, std::size_t size, std::uint64_t rows,
                     std::uint64_t row_elements, const Layout& l, unsigned part, unsigned parts) {
  const std::uint64_t row_bytes = row_elements * size;
  if (row_bytes <= kStripBytes) {
    const auto tile_rows = static_cast<std::uint32_t>(
        std::max<std::uint64_t>(kTileRows, kTileBytes / std::max<std::uint64_t>(row_bytes, 1)));
    const std::uint64_t tiles = (rows + tile_rows - 1) / tile_rows;
    const std::uint64_t end = std::min(rows, tiles * (part + 1) / parts * tile_rows);
    for (std::uint64_t top = tiles * part / parts * tile_rows; top < end; top += tile_rows) {
      const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(tile_rows, end - top));
      step(l, data + top * row_bytes, row_bytes, count, 0, row_elements, top);
    }
    return;
  }
  const std::uint64_t strip = std::max<std::uint64_t>(kStripBytes / size / l.planes, 1) * l.planes;
  const std::uint64_t strips = (row_elements + strip - 1) / strip;
  alignas(64) std::uint8_t tile[kTileRows * kStripBytes];
  for (std::uint64_t n = strips * part / parts; n < strips * (part + 1) / parts; ++n) {
    const std::uint64_t first = n * strip, end = std::min(row_elements, first + strip);
    const std::size_t width = (end - first) * size;
    for (std::uint64_t top = 0; top < rows; top += kTileRows) {
      const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kTileRows, rows - top));
      const std::uint8_t* src = data + top * row_bytes + first * size;
      for (std::uint32_t r = 0; r < count; ++r, src += row_bytes)
        std::memcpy(tile + r * width, src, width);
      step(l, tile, width, count, first, end, top);
    }
  }
}

namespace {

void byte_block_plain(const std::uint8_t* block, std::ptrdiff_t pitch, std::size_t count,
                      double* const* col, std::uint64_t top) {
  for (std::size_t x = 0; x < count; ++x) {
    double* d = col[x] + top;
    const std::uint8_t* s = block + x;
    for (int r = 0; r < 8; ++r, s += pitch)
      d[r] = *s;
  }
}

#if defined(__x86_64__)
// Eight bytes (the low half of v) as eight doubles at d.
__attribute__((target("avx2"))) inline void put8(double* d, __m128i v) {
  const __m256d lo = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(v));
  const __m256d hi = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_srli_si128(v, 4)));
  _mm256_storeu_pd(d, lo);
  _mm256_storeu_pd(d + 4, hi);
}

// Eight pixels of eight rows at a time: the 8 x 8 bytes are turned around
// in registers (bytes, then pairs, then fours interleaved), so that each
// register holds two columns of eight rows.
__attribute__((target("avx2"))) void byte_block_avx2(const std::uint8_t* block,
                                                     std::ptrdiff_t pitch, std::size_t count,
                                                     double* const* col, std::uint64_t top) {
  std::size_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const std::uint8_t* s = block + x;
    auto row = [&](int r) {
      return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + r * pitch));
    };
    const __m128i a0 = _mm_unpacklo_epi8(row(0), row(1)), a1 = _mm_unpacklo_epi8(row(2), row(3)),
                  a2 = _mm_unpacklo_epi8(row(4), row(5)), a3 = _mm_unpacklo_epi8(row(6), row(7));
    const __m128i b0 = _mm_unpacklo_epi16(a0, a1), b1 = _mm_unpackhi_epi16(a0, a1),
                  b2 = _mm_unpacklo_epi16(a2, a3), b3 = _mm_unpackhi_epi16(a2, a3);
    const __m128i c[4] = {_mm_unpacklo_epi32(b0, b2), _mm_unpackhi_epi32(b0, b2),
                          _mm_unpacklo_epi32(b1, b3), _mm_unpackhi_epi32(b1, b3)};
    for (int j = 0; j < 4; ++j) {
      put8(col[x + 2 * j] + top, c[j]);
      put8(col[x + 2 * j + 1] + top, _mm_unpackhi_epi64(c[j], c[j]));
    }
  }
  if (x < count) byte_block_plain(block + x, pitch, count - x, col + x, top);
}
#endif

void pixels_plain(const std::uint8_t* const (&plane)[3], std::ptrdiff_t pitch, std::size_t cols,
                  std::size_t rows, std::uint8_t* out, std::ptrdiff_t step) {
  for (std::size_t k = 0; k < rows; ++k) {
    std::uint8_t* d = out + static_cast<std::ptrdiff_t>(k) * step;
    for (std::size_t j = 0; j < cols; ++j, d += 3) {
      for (int c = 0; c < 3; ++c)
        d[c] = plane[c][static_cast<std::ptrdiff_t>(j) * pitch + static_cast<std::ptrdiff_t>(k)];
    }
  }
}

#if defined(__x86_64__)
// Sixteen registers of sixteen bytes turned around: on return, register
// kRowOf[k] holds byte k of every register given, in order. Four rounds of
// interleaving pairs (bytes, then pairs, fours and eights of them) each
// move one bit of the byte's place into the register's number.
constexpr int kRowOf[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};

__attribute__((target("avx2"))) inline void turn16(__m128i (&a)[16]) {
  __m128i t[16];
  for (int i = 0; i < 8; ++i) {
    t[i] = _mm_unpacklo_epi8(a[2 * i], a[2 * i + 1]);
    t[i + 8] = _mm_unpackhi_epi8(a[2 * i], a[2 * i + 1]);
  }
  for (int i = 0; i < 8; ++i) {
    a[i] = _mm_unpacklo_epi16(t[2 * i], t[2 * i + 1]);
    a[i + 8] = _mm_unpackhi_epi16(t[2 * i], t[2 * i + 1]);
  }
  for (int i = 0; i < 8; ++i) {
    t[i] = _mm_unpacklo_epi32(a[2 * i], a[2 * i + 1]);
    t[i + 8] = _mm_unpackhi_epi32(a[2 * i], a[2 * i + 1]);
  }
  for (int i = 0; i < 8; ++i) {
    a[i] = _mm_unpacklo_epi64(t[2 * i], t[2 * i + 1]);
    a[i + 8] = _mm_unpackhi_epi64(t[2 * i], t[2 * i + 1]);
  }
}

// Where byte t of the q-th sixteen bytes of sixteen interleaved pixels
// comes from in plane c's register: its pixel, or nothing (0x80).
constexpr std::int8_t from_plane(int q, int c, int t) {
  const int at = 16 * q + t;
  return at % 3 == c ? static_cast<std::int8_t>(at / 3) : static_cast<std::int8_t>(-128);
}

template <int Q, int C>
__attribute__((target("avx2"))) inline __m128i pick(__m128i v) {
  return _mm_shuffle_epi8(
      v, _mm_setr_epi8(from_plane(Q, C, 0), from_plane(Q, C, 1), from_plane(Q, C, 2),
                       from_plane(Q, C, 3), from_plane(Q, C, 4), from_plane(Q, C, 5),
                       from_plane(Q, C, 6), from_plane(Q, C, 7), from_plane(Q, C, 8),
                       from_plane(Q, C, 9), from_plane(Q, C, 10), from_plane(Q, C, 11),
                       from_plane(Q, C, 12), from_plane(Q, C, 13), from_plane(Q, C, 14),
                       from_plane(Q, C, 15)));
}

template <int Q>
__attribute__((target("avx2"))) inline __m128i interleaved(__m128i a, __m128i b, __m128i c) {
  return _mm_or_si128(_mm_or_si128(pick<Q, 0>(a), pick<Q, 1>(b)), pick<Q, 2>(c));
}

// Sixteen by sixteen pixels at a time: each plane's sixteen columns of
// sixteen rows are turned into rows in registers, and the three planes'
// rows interleaved into 48 bytes of pixels by byte shuffles.
__attribute__((target("avx2"))) void pixels_avx2(const std::uint8_t* const (&plane)[3],
                                                 std::ptrdiff_t pitch, std::size_t cols,
                                                 std::size_t rows, std::uint8_t* out,
                                                 std::ptrdiff_t step) {
  const std::size_t whole_rows = rows / 16 * 16;
  std::size_t j = 0;
  for (; j + 16 <= cols; j += 16) {
    for (std::size_t k = 0; k < whole_rows; k += 16) {
      __m128i v[3][16];
      for (int c = 0; c < 3; ++c) {
        const std::uint8_t* s =
            plane[c] + static_cast<std::ptrdiff_t>(j) * pitch + static_cast<std::ptrdiff_t>(k);
        for (int x = 0; x < 16; ++x)
          v[c][x] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x * pitch));
        turn16(v[c]);
      }
      std::uint8_t* d = out + static_cast<std::ptrdiff_t>(k) * step + 3 * j;
      for (int r = 0; r < 16; ++r, d += step) {
        const __m128i a = v[0][kRowOf[r]], b = v[1][kRowOf[r]], c = v[2][kRowOf[r]];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), interleaved<0>(a, b, c));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), interleaved<1>(a, b, c));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), interleaved<2>(a, b, c));
      }
    }
  }
  // The rows below the last whole sixteen, then the columns past them.
  if (whole_rows < rows) {
    const std::uint8_t* const rest[3] = {plane[0] + whole_rows, plane[1] + whole_rows,
                                         plane[2] + whole_rows};
    pixels_plain(rest, pitch, j, rows - whole_rows,
                 out + static_cast<std::ptrdiff_t>(whole_rows) * step, step);
  }
  if (j < cols) {
    const auto skip = static_cast<std::ptrdiff_t>(j) * pitch;
    const std::uint8_t* const rest[3] = {plane[0] + skip, plane[1] + skip, plane[2] + skip};
    pixels_plain(rest, pitch, cols - j, rows, out + 3 * j, step);
  }
}
#endif

// Three-byte pixels taken apart one at a time.
void split_plain(std::uint8_t* const (&out)[3], const std::uint8_t* p, std::int64_t n,
                 const int (&offset)[3]) {
  for (int k = 0; k < 3; ++k) {
    if (out[k] == nullptr) continue;
    const std::uint8_t* s = p + offset[k];
    for (std::int64_t x = 0; x < n; ++x)
      out[k][x] = s[3 * x];
  }
}

#if defined(__x86_64__)
// Sixteen pixels at a time.
__attribute__((target("avx2"))) void split_avx2(std::uint8_t* const (&out)[3],
                                                const std::uint8_t* p, std::int64_t n,
                                                const int (&offset)[3]) {
  std::int64_t x = 0;
  for (; x + 16 <= n; x += 16) {
    __m128i v[3];
    load48(v, p + 3 * x);
    for (int k = 0; k < 3; ++k) {
      if (out[k] != nullptr)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out[k] + x), gather3(v, offset[k]));
    }
  }
  if (x < n) {
    std::uint8_t* const rest[3] = {out[0] ? out[0] + x : nullptr, out[1] ? out[1] + x : nullptr,
                                   out[2] ? out[2] + x : nullptr};
    split_plain(rest, p + 3 * x, n - x, offset);
  }
}
#endif

}  // namespace

bool split_pixels_fast(const int (&offset)[3]) {
#if defined(__x86_64__)
  return have_avx2() && std::all_of(offset, offset + 3, [](int o) { return o >= 0 && o < 3; });
#else
  (void)offset;
  return false;
#endif
}

SplitPixels split_pixels_for(const int (&offset)[3]) {
#if defined(__x86_64__)
  if (split_pixels_fast(offset)) return &split_avx2;
#endif
  return &split_plain;
}

void pixels_from_columns(const std::uint8_t* const (&plane)[3], std::ptrdiff_t pitch,
                         std::size_t cols, std::size_t rows, std::uint8_t* out,
                         std::ptrdiff_t step) {
#if defined(__x86_64__)
  if (have_avx2()) return pixels_avx2(plane, pitch, cols, rows, out, step);
#endif
  pixels_plain(plane, pitch, cols, rows, out, step);
}

ByteBlock byte_block() {
#if defined(__x86_64__)
  if (have_avx2()) return &byte_block_avx2;
#endif
  return &byte_block_plain;
}

}  // namespace kexio::columns
