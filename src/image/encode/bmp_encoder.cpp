#include "image/encode/bmp_encoder.h"

#include <fcntl.h>

#include "core/limits.h"

namespace kexio {

namespace {

bool fits_bmp(int bits, std::int64_t height, std::int64_t width) {
  if (bits != 8 && bits != 24) return false;
  using namespace limits;
  if (height < 0 || width < 0 || height > kBmpMaxSide || width > kBmpMaxSide) return false;
  std::int64_t stride = (std::int64_t{bits} * width + 31) / 32 * 4;
  // biSizeImage and bfSize are 32-bit: the whole file must stay below 4 GiB.
  return height == 0 || stride <= (kBmpMaxFileSize - kBmpMaxHeadersAndPalette) / height;
}

}  // namespace

bmp_encoder::bmp_encoder(const char* path, int bits, std::int64_t height, std::int64_t width)
    : BitmapFileInfo(bits, fits_bmp(bits, height, width) ? static_cast<int>(height) : 0,
                     fits_bmp(bits, height, width) ? static_cast<int>(width) : 0),
      m_open_errno(m_file.open(path, O_WRONLY)),
      m_out(m_file.fd()) {
  if (m_open_errno != 0) {
    m_status = kFileIoError;
    return;
  }
  m_status = fits_bmp(bits, height, width) ? header_error : kBadHeader;
  if (status() != 0) return;
  m_stride = (std::int64_t{bits} * width + 31) / 32 * 4;
  palette_pos = kFileHeaderSize + kInfoHeaderSize;
  pixel_data_pos = palette_pos + 4 * std::int64_t{biClrUsed};
  bfOffBits = static_cast<std::uint32_t>(pixel_data_pos);
  bfSize = bfOffBits + biSizeImage;
  write_headers();
}

int bmp_encoder::status() {
  if (m_out.failed() && m_status == 0) m_status = kFileIoError;
  return m_status;
}

void bmp_encoder::write_headers() {
  m_out.le16(bfType);
  m_out.le32(bfSize);
  m_out.le16(bfReserved1);
  m_out.le16(bfReserved2);
  m_out.le32(bfOffBits);
  m_out.le32(biSize);
  m_out.le32(static_cast<std::uint32_t>(biWidth));
  m_out.le32(static_cast<std::uint32_t>(biHeight));
  m_out.le16(biPlanes);
  m_out.le16(biBitCount);
  m_out.le32(biCompression);
  m_out.le32(biSizeImage);
  m_out.le32(static_cast<std::uint32_t>(biXPelsPerMeter));
  m_out.le32(static_cast<std::uint32_t>(biYPelsPerMeter));
  m_out.le32(biClrUsed);
  m_out.le32(biClrImportant);
  status();
}

void bmp_encoder::write_palette() {
  if (m_status == 0) m_out.write(palette.data(), palette.size());
  status();
}

int bmp_encoder::write_stored(const std::uint8_t* rows, std::int64_t n) {
  if (m_status == 0) m_out.write(rows, static_cast<std::size_t>(n * m_stride));
  return status();
}

void bmp_encoder::finish() {
  if (status() == 0 && (!m_out.flush() || m_file.commit() != 0)) m_status = kFileIoError;
}

}  // namespace kexio
