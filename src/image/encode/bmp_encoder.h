// The BMP encoder: uncompressed Windows bitmaps of 1, 4, 8 or 24 bits per
// pixel, written one row at a time, bottom row first.
//
// Calling order: construct, status(), [fill palette, write_palette()], then
// exactly height times fill the row buffer and write_row(), then finish()
// and status(). The row buffer holds one byte per pixel (a palette index;
// at 1 bit any non-zero byte is a set bit) or, at 24 bits, red, green, blue
// per pixel.
#pragma once

#include <cstdint>

#include "image/bitmap_file_info.h"
#include "image/encode/encoder.h"
#include "image/encode/output_file.h"

namespace kexio {

class bmp_encoder final : public Encoder, public bitmap_file_info {
 public:
  // Creates path and writes the provisional headers. Sizes that a BMP file
  // cannot state (negative, beyond 32 bits, or more than 4 GiB of pixel
  // rows) are refused with kBadHeader before the headers are written.
  bmp_encoder(const char* path, int bits, std::int64_t height, std::int64_t width);

  int write_row() override;
  int begin() override { return status(); }
  int end() override { return status(); }
  int status() override;

  // Writes the palette (depths up to 8), after which the pixel rows start.
  void write_palette();
  // Writes the final file header (with the file's length) and closes it.
  void finish();

  // The errno of a failed open, 0 when the file was created.
  int open_errno() const { return m_out.open_errno(); }

 private:
  void write_file_header();
  void write_info_header();

  OutputFile m_out;
  std::int64_t m_stride = 0;  // bytes of one stored row, padding included
};

}  // namespace kexio
