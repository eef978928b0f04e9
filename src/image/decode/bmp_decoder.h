// The BMP decoder: Windows and OS/2 device-independent bitmaps with 1, 4, 8
// or 24 bits per pixel, uncompressed or run-length encoded (RLE8, RLE4).
#pragma once

#include <cstdint>
#include <vector>

#include "image/bitmap_file_info.h"
#include "image/decode/plane_writer.h"
#include "io/byte_reader.h"

namespace kexio {

class bmp_decoder final : public PixelDecoder, public bitmap_file_info {
 public:
  // Reads the headers and the palette from in, which the decoder keeps;
  // failures are recorded in the status.
  explicit bmp_decoder(io::ByteReader in);

  int read_row() override;
  int begin() override { return status(); }
  int end() override { return status(); }
  int status() override;
  int rows() const override { return biHeight; }
  int cols() const override { return biWidth; }

 protected:
  int decode(PlaneWriter& out) override;
  bool bottom_up() const override { return true; }

 private:
  void read_bytes(void* dst, std::size_t n);
  template <typename T>
  void read_field(T& field);
  int read_file_header();
  int read_info_header();
  int read_palette();
  void check_plausible_size();

  int read_uncompressed_row();
  int read_rle_row(bool four_bit);
  bool indexed() const { return biBitCount == 1 || biBitCount == 4 || biBitCount == 8; }
  bool supported_depth() const { return indexed() || biBitCount == 24; }

  io::ByteReader m_in;
  bool m_os2 = false;
  std::vector<Rgb> m_colours;           // the palette entries the file provides
  const std::uint8_t* m_row = nullptr;  // the row read_row() decoded last
};

}  // namespace kexio
