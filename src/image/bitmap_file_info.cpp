#include "image/bitmap_file_info.h"

#include <new>

#include "image/codec_errors.h"

namespace kexio {

int colours_for_depth(int bits) {
  switch (bits) {
    case 1:
      return 2;
    case 4:
      return 16;
    case 8:
      return 256;
    case 24:
      return 0;
    default:
      return -1;
  }
}

BitmapFileInfo::BitmapFileInfo(int bits, int height, int width) {
  int colours = colours_for_depth(bits);
  if (colours < 0) {
    header_error = kBadHeader;
    return;
  }
  // Rows are padded to whole 32-bit words.
  std::int64_t stride = (static_cast<std::int64_t>(bits) * width + 31) / 32 * 4;
  bfType = kMagic;
  biSize = kInfoHeaderSize;
  biWidth = width;
  biHeight = height;
  biPlanes = 1;
  biBitCount = static_cast<std::uint16_t>(bits);
  biCompression = 0;
  biSizeImage = static_cast<std::uint32_t>(stride * height);
  biClrUsed = static_cast<std::uint32_t>(colours);
  if (colours > 0) {
    try {
      palette.assign(static_cast<std::size_t>(colours) * 4, 0);
    } catch (const std::bad_alloc&) {
      header_error = kOutOfMemory;
    }
  }
}

}  // namespace kexio
