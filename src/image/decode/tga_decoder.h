// The TGA decoder: colour-mapped, true-colour and grey images (types 1, 2,
// 3), uncompressed or run-length encoded (types 9, 10, 11), with 1- to
// 4-byte pixels, in any of the four row and pixel orders.
#pragma once

#include <array>
#include <cstdint>

#include "image/decode/decoder.h"
#include "io/byte_reader.h"

namespace kexio {

// The 18-byte file header, field by field (16-bit fields little-endian).
struct TgaHeader {
  std::uint8_t id_length = 0;
  std::uint8_t colour_map_type = 0;
  std::uint8_t image_type = 0;
  std::uint16_t first_entry = 0;  // not used
  std::uint16_t map_length = 0;
  std::uint8_t entry_size = 0;  // bits per colour-map entry
  std::uint16_t x_origin = 0, y_origin = 0;
  std::uint16_t width = 0, height = 0;
  std::uint8_t depth = 0;  // bits per pixel
  std::uint8_t descriptor = 0;

  static constexpr int kSize = 18;
  static constexpr std::uint8_t kRightToLeft = 0x10;
  static constexpr std::uint8_t kTopDown = 0x20;
  // The image types and pixel depths that are read.
  static constexpr std::uint8_t kTypes[] = {1, 2, 3, 9, 10, 11};
  static constexpr std::uint8_t kDepths[] = {1, 8, 16, 24, 32};

  // The header in the first 18 bytes h of a file.
  static TgaHeader parse(const std::uint8_t* h);
  // Whether the header says TGA: a known image type and depth, and no colour
  // map or the one kind there is. The format has no signature, so this is
  // all that tells it from other bytes.
  bool plausible() const;
};

// TGA files: those whose header is plausible; kFileIoError for a file of
// fewer than 18 bytes.
extern const DecoderFormat kTgaFormat;

class TgaDecoder final : public Decoder {
 public:
  // Reads the header, skips the identification field and reads the colour
  // map from in, which the decoder keeps; failures are recorded in the
  // status.
  explicit TgaDecoder(io::ByteReader in);

  int status() override;
  int rows() const override { return m_header.height; }
  int cols() const override { return m_header.width; }
  bool bottom_up() const override { return (m_header.descriptor & TgaHeader::kTopDown) == 0; }
  int decode(ImageSink& out) override;

 private:
  // Decodes the next stored row.
  int read_row();
  bool read_header();
  void read_colour_map();
  void check_plausible_size();
  void read_rle_row(std::uint8_t* row);
  // Stored value bytes of one pixel: one index for a colour-mapped image,
  // else bytes-per-pixel bytes.
  int value_bytes() const { return m_colour_mapped ? 1 : m_bytes_per_pixel; }
  // Bytes of one decoded pixel: two-byte pixels are widened to three.
  int pixel_bytes() const { return value_bytes() == 2 ? 3 : value_bytes(); }

  io::ByteReader m_in;
  bool m_open = false;
  TgaHeader m_header;
  // The first 256 colour-map entries (the most a one-byte index reaches).
  std::array<Rgb, 256> m_map{};
  int m_map_entries = 0;
  int m_bytes_per_pixel = 0;
  bool m_colour_mapped = false;
  bool m_rle = false;
  bool m_right_to_left = false;
  const std::uint8_t* m_row = nullptr;  // the row read_row() decoded last
};

}  // namespace kexio
