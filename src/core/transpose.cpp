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

}  // namespace kexio::columns
