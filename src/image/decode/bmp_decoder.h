// The BMP decoder: Windows and OS/2 device-independent bitmaps with 1, 4, 8
// or 24 bits per pixel, uncompressed or run-length encoded (RLE8, RLE4).
#pragma once

#include <array>
#include <cstdint>

#include "image/bitmap_file_info.h"
#include "image/decode/decoder.h"
#include "image/decode/input_file.h"

namespace kexio {

class bmp_decoder final : public Decoder, public bitmap_file_info {
 public:
  // Opens path and reads the headers and the palette; failures are recorded
  // in the status.
  explicit bmp_decoder(const char* path);

  int read_row() override;
  int begin() override { return status(); }
  int end() override { return status(); }
  int status() override;
  int read_gray(KexCallContext* ctx, Plane grey) override;
  int read_rgb(KexCallContext* ctx, Plane red, Plane green, Plane blue) override;
  int read_hls(KexCallContext* ctx, Plane hue, Plane light, Plane sat) override;
  int read_hsv(KexCallContext* ctx, Plane hue, Plane sat, Plane value) override;
  int rows() const override { return biHeight; }
  int cols() const override { return biWidth; }

  // The colour of palette index i as red, green, blue. Indices past the
  // entries the file provides are black.
  struct Rgb {
    std::uint8_t r, g, b;
  };

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

  template <typename Step>
  int read_rows(Step& step);
  template <typename Conv>
  int read_colour_space(Plane a, Plane b, Plane c);

  InputFile m_in;
  bool m_os2 = false;
  std::array<Rgb, 256> m_colour{};
  std::array<std::uint8_t, 256> m_grey{};
  std::vector<std::uint8_t> m_stored;  // one stored row of a 1- or 4-bit file
};

}  // namespace kexio
