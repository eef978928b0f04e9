#include "image/encode/bmp_encoder.h"

#include <cstring>

#include "core/limits.h"

namespace kexio {

namespace {

void put16(unsigned char*& p, unsigned v) {
  *p++ = static_cast<unsigned char>(v);
  *p++ = static_cast<unsigned char>(v >> 8);
}
void put32(unsigned char*& p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    *p++ = static_cast<unsigned char>(v >> (8 * i));
}

bool fits_bmp(int bits, std::int64_t height, std::int64_t width) {
  using namespace limits;
  if (height < 0 || width < 0 || height > kBmpMaxSide || width > kBmpMaxSide) return false;
  std::int64_t stride = (std::int64_t{bits} * width + 31) / 32 * 4;
  // biSizeImage and bfSize are 32-bit: the whole file must stay below 4 GiB.
  return height == 0 || stride <= (kBmpMaxFileSize - kBmpMaxHeadersAndPalette) / height;
}

}  // namespace

bmp_encoder::bmp_encoder(const char* path, int bits, std::int64_t height, std::int64_t width)
    : bitmap_file_info(bits, fits_bmp(bits, height, width) ? static_cast<int>(height) : 0,
                       fits_bmp(bits, height, width) ? static_cast<int>(width) : 0),
      m_out(path) {
  if (!m_out.is_open()) {
    error = kFileIoError;
    return;
  }
  error = header_error;
  if (error == 0 && !fits_bmp(bits, height, width)) error = kBadHeader;
  if (status() != 0) return;
  if (allocate_row_buffer(bits == 24 ? 3 * width : width) != 0) return;
  m_stride = (std::int64_t{bits} * width + 31) / 32 * 4;
  write_file_header();
  info_header_pos = m_out.tell();
  write_info_header();
  palette_pos = m_out.tell();
  bfOffBits = static_cast<std::uint32_t>(palette_pos);
  pixel_data_pos = palette_pos;
  status();
}

int bmp_encoder::status() {
  if (m_out.bad()) error = kFileIoError;
  return error;
}

void bmp_encoder::write_file_header() {
  if (error != 0) return;
  unsigned char h[kFileHeaderSize];
  unsigned char* p = h;
  put16(p, bfType);
  put32(p, bfSize);
  put16(p, bfReserved1);
  put16(p, bfReserved2);
  put32(p, bfOffBits);
  m_out.write(h, sizeof h);
  status();
}

void bmp_encoder::write_info_header() {
  if (error != 0) return;
  unsigned char h[kInfoHeaderSize];
  unsigned char* p = h;
  put32(p, biSize);
  put32(p, static_cast<std::uint32_t>(biWidth));
  put32(p, static_cast<std::uint32_t>(biHeight));
  put16(p, biPlanes);
  put16(p, biBitCount);
  put32(p, biCompression);
  put32(p, biSizeImage);
  put32(p, static_cast<std::uint32_t>(biXPelsPerMeter));
  put32(p, static_cast<std::uint32_t>(biYPelsPerMeter));
  put32(p, biClrUsed);
  put32(p, biClrImportant);
  m_out.write(h, sizeof h);
  status();
}

void bmp_encoder::write_palette() {
  if (error == 0 && !palette.empty() && biClrUsed != 0) {
    m_out.seek(palette_pos);
    m_out.write(palette.data(), palette.size());
  }
  pixel_data_pos = m_out.tell();
  bfOffBits = static_cast<std::uint32_t>(pixel_data_pos);
  status();
}

int bmp_encoder::write_row() {
  if (error != 0) return status();
  const std::int64_t w = biWidth;
  unsigned char* out = m_out.reserve(static_cast<std::size_t>(m_stride));
  if (out == nullptr) return status();
  std::memset(out, 0, static_cast<std::size_t>(m_stride));  // padding, spare bits
  switch (biBitCount) {
    case 1: {
      const unsigned char* in = row_span(0, w);
      if (in == nullptr) break;
      for (std::int64_t x = 0; x < w; ++x) {
        if (in[x] != 0) out[x >> 3] |= static_cast<unsigned char>(0x80 >> (x & 7));
      }
      break;
    }
    case 4: {
      const unsigned char* in = row_span(0, w);
      if (in == nullptr) break;
      for (std::int64_t x = 0; x < w; ++x) {
        out[x >> 1] |= static_cast<unsigned char>((in[x] & 15) << (x & 1 ? 0 : 4));
      }
      break;
    }
    case 8: {
      const unsigned char* in = row_span(0, w);
      if (in != nullptr) std::memcpy(out, in, static_cast<std::size_t>(w));
      break;
    }
    case 24: {
      // Red, green, blue in the buffer; blue, green, red in the file.
      const unsigned char* in = row_span(0, 3 * w);
      if (in == nullptr) break;
      for (std::int64_t x = 0; x < w; ++x) {
        out[3 * x] = in[3 * x + 2];
        out[3 * x + 1] = in[3 * x + 1];
        out[3 * x + 2] = in[3 * x];
      }
      break;
    }
    default:
      break;
  }
  return status();
}

void bmp_encoder::finish() {
  if (m_out.is_open() && error == 0) {
    bfSize = static_cast<std::uint32_t>(m_out.tell());
    m_out.seek(0);
    status();
    write_file_header();
  }
  m_out.close();
  status();
}

}  // namespace kexio
