// Netpbm pictures in their binary forms: P4 (bitmap, one bit per pixel,
// 1 = black, rows padded to whole bytes), P5 (grey) and P6 (red, green,
// blue), both with samples up to 255.
#include <algorithm>
#include <memory>
#include <string>

#include "keximager.h"

namespace keximager {

void write_pnm(Output& out, const aMatrix* m, PnmKind kind) {
  RowPacker rows(m, kind == PnmKind::kColour ? 3 : 1, kByte, std::size_t{1} << 20);
  const std::uint32_t width = rows.width(), height = rows.height();
  std::string header = kind == PnmKind::kBitmap ? "P4\n" : kind == PnmKind::kGrey ? "P5\n" : "P6\n";
  header += std::to_string(width) + " " + std::to_string(height) + "\n";
  if (kind != PnmKind::kBitmap) header += "255\n";
  out.write(header.data(), header.size());

  const std::size_t bit_row = (std::size_t{width} + 7) / 8;
  std::unique_ptr<std::uint8_t[]> bits;
  if (kind == PnmKind::kBitmap) bits.reset(new std::uint8_t[bit_row * rows.band_rows() + 1]);
  for (std::uint32_t top = 0; top < height; top += rows.band_rows()) {
    const std::uint32_t n = std::min(rows.band_rows(), height - top);
    const std::uint8_t* band = rows.rows(top, n);
    if (kind != PnmKind::kBitmap) {
      out.write(band, n * rows.row_bytes());
      continue;
    }
    // A grey level below 128 is a black pixel.
    std::fill_n(bits.get(), n * bit_row, 0);
    for (std::uint32_t k = 0; k < n; ++k) {
      const std::uint8_t* grey = band + k * rows.row_bytes();
      std::uint8_t* row = bits.get() + k * bit_row;
      for (std::uint32_t x = 0; x < width; ++x)
        row[x >> 3] |= static_cast<std::uint8_t>((grey[x] < 128) << (7 - (x & 7)));
    }
    out.write(bits.get(), n * bit_row);
  }
  out.commit();
}

}  // namespace keximager
