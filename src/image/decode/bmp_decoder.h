// The BMP decoder: Windows and OS/2 device-independent bitmaps with 1, 4, 8
// or 24 bits per pixel, uncompressed or run-length encoded (RLE8, RLE4), and
// 16 or 32 bits per pixel with colour bit fields; stored bottom-up or
// top-down.
#pragma once

#include <cstdint>
#include <vector>

#include "image/bitmap_file_info.h"
#include "image/decode/decoder.h"
#include "io/byte_reader.h"

namespace kexio {

// BMP files: those that start with "B".
extern const DecoderFormat kBmpFormat;

class BmpDecoder final : public Decoder, public BitmapFileInfo {
 public:
  // Reads the headers and the palette from in, which the decoder keeps;
  // failures are recorded in the status.
  explicit BmpDecoder(io::ByteReader in);

  int status() override;
  int rows() const override { return m_rows; }
  int cols() const override { return biWidth; }
  bool bottom_up() const override { return !m_top_down; }
  int decode(ImageSink& out) override;

 private:
  // One colour component of a 16- or 32-bit pixel: (pixel & mask) >> shift,
  // scaled from 0..max to 0..255 (truncating), through a table when max is
  // small enough.
  struct BitField {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint32_t max = 0;
    std::vector<std::uint8_t> scaled;
    void set(std::uint32_t m);
    std::uint8_t operator()(std::uint32_t pixel) const {
      std::uint32_t v = (pixel & mask) >> shift;
      if (!scaled.empty()) return scaled[v];
      return static_cast<std::uint8_t>(max == 0 ? 0 : std::uint64_t{v} * 255 / max);
    }
  };

  void read_bytes(void* dst, std::size_t n);
  template <typename T>
  void read_field(T& field);
  int read_file_header();
  int read_info_header();
  void read_bit_fields(const std::uint8_t* in_header);
  int read_palette();
  void check_plausible_size();

  int read_row();
  int read_uncompressed_row();
  int read_rle_row(bool four_bit);
  bool indexed() const { return biBitCount == 1 || biBitCount == 4 || biBitCount == 8; }
  bool supported_depth() const { return indexed() || biBitCount == 24 || m_bit_fields; }

  io::ByteReader m_in;
  bool m_os2 = false;              // the 12-byte core header
  bool m_bit_fields = false;       // 16 or 32 bits per pixel through m_fields
  bool m_rows_at_offbits = false;  // rows start at bfOffBits, not after the palette
  bool m_top_down = false;         // negative height: the first stored row is the top
  bool m_last_row = false;         // read_row() is reading the picture's last row
  int m_rows = 0;                  // the height, whichever way the rows are stored
  int m_byte_offsets[3] = {};      // 32-bit fields that are whole bytes: where each lies
  bool m_whole_bytes = false;
  int m_alpha_offset = -1;              // of such a pixel, a whole-byte alpha field's; -1 for none
  BitField m_fields[3];                 // red, green, blue
  std::vector<Rgb> m_colours;           // the palette entries the file provides
  const std::uint8_t* m_row = nullptr;  // the row read_row() decoded last
};

}  // namespace kexio
