// The headers of a BMP file and its palette, as the BMP decoder fills them
// when it reads a file and the BMP encoder when it writes one.
#pragma once

#include <cstdint>
#include <vector>

namespace kexio {

// Palette entries for a bit depth: 1 -> 2, 4 -> 16, 8 -> 256, 24 -> 0 (no
// palette), anything else -> -1.
int colours_for_depth(int bits);

struct BitmapFileInfo {
  // Error code of the record (the codec error codes); set by the writing
  // constructor.
  int header_error = 0;

  // Positions in the file: after the information header and after the
  // palette.
  std::int64_t palette_pos = 0;
  std::int64_t pixel_data_pos = 0;

  // The 14-byte file header.
  std::uint16_t bfType = 0;
  std::uint32_t bfSize = 0;
  std::uint16_t bfReserved1 = 0;
  std::uint16_t bfReserved2 = 0;
  std::uint32_t bfOffBits = 0;

  // The 40-byte information header.
  std::uint32_t biSize = 0;
  std::int32_t biWidth = 0;
  std::int32_t biHeight = 0;
  std::uint16_t biPlanes = 0;
  std::uint16_t biBitCount = 0;
  std::uint32_t biCompression = 0;
  std::uint32_t biSizeImage = 0;
  std::int32_t biXPelsPerMeter = 0;
  std::int32_t biYPelsPerMeter = 0;
  std::uint32_t biClrUsed = 0;
  std::uint32_t biClrImportant = 0;

  // Four bytes per entry: blue, green, red, reserved. Holds the entries the
  // file actually provides, which may be fewer than biClrUsed.
  std::vector<std::uint8_t> palette;

  static constexpr std::uint16_t kMagic = 0x4D42;  // "BM"
  static constexpr std::uint32_t kFileHeaderSize = 14;
  static constexpr std::uint32_t kInfoHeaderSize = 40;
  static constexpr std::uint32_t kCoreHeaderSize = 12;

  // Zero fields: the record before a file is read.
  BitmapFileInfo() = default;
  // The headers of an uncompressed file of bits per pixel, height rows and
  // width columns; header_error is kBadHeader for an unsupported depth and
  // kOutOfMemory when the palette cannot be allocated.
  BitmapFileInfo(int bits, int height, int width);
};

}  // namespace kexio
