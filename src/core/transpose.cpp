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

}  // namespace

ByteBlock byte_block() {
#if defined(__x86_64__)
  if (have_avx2()) return &byte_block_avx2;
#endif
  return &byte_block_plain;
}

}  // namespace kexio::columns
