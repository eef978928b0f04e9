// The BMP encoder: uncompressed Windows bitmaps of 8 bits per pixel (with a
// palette) or 24, written in bands of rows as the file stores them, bottom
// row first.
//
// Calling order: construct, status(), [fill palette, write_palette()] at 8
// bits, then write_stored() until every row is written, then finish() and
// status(). Failures are recorded as the codes of codec_errors.h, never
// thrown.
//
// Every size is known from the start, so the headers are written once, with
// their final values, and the file is written front to back (a pipe works
// too). The file is replaced only by finish(): until then, and after any
// failure, an existing file is left as it was.
#pragma once

#include <cstdint>
#include <string>

#include "image/bitmap_file_info.h"
#include "image/codec_errors.h"
#include "io/byte_writer.h"
#include "io/replace.h"

namespace kexio {

class bmp_encoder final : public BitmapFileInfo {
 public:
  // Opens path and writes the headers. Depths other than 8 and 24, and sizes
  // that a BMP file cannot state (negative, beyond 32 bits, or more than
  // 4 GiB of pixel rows), are refused with kBadHeader.
  bmp_encoder(const char* path, int bits, std::int64_t height, std::int64_t width);

  bmp_encoder(const bmp_encoder&) = delete;
  bmp_encoder& operator=(const bmp_encoder&) = delete;

  // The status: 0, or the code of the first failure.
  int status();

  // Writes the palette (8 bits), after which the pixel rows start.
  void write_palette();
  // The bytes of one row as the file stores it, padding included.
  std::int64_t stride() const { return m_stride; }
  // Writes n rows as the file stores them, stride() bytes each, the
  // bottom one first: palette indices, or blue, green, red per pixel, then
  // zeros.
  int write_stored(const std::uint8_t* rows, std::int64_t n);
  // Completes the file and puts it in place.
  void finish();

  // The errno of a failed open, 0 when the file was opened.
  int open_errno() const { return m_open_errno; }
  // That failure for people: the reason and the file it concerns.
  std::string open_detail() const { return m_file.detail(m_open_errno); }

 private:
  void write_headers();

  int m_status = 0;
  io::Replacement m_file;
  int m_open_errno;
  io::ByteWriter m_out;
  std::int64_t m_stride = 0;  // bytes of one stored row, padding included
};

}  // namespace kexio
