// The PCX decoder: run-length coded scan lines of 1, 2, 4 or 8 bits in one
// plane, or 8 bits in three planes (red, green, blue).
//
// The run-length layer (PcxLineReader) turns the coded bytes into
// whole scan lines; PcxDecoder interprets their pixels.
#pragma once

#include <cstdint>
#include <vector>

#include "image/decode/decoder.h"
#include "io/byte_reader.h"

namespace kexio {

// The 128-byte file header, field by field (16-bit fields little-endian).
struct PcxHeader {
  std::uint8_t manufacturer = 0;  // 10 for a PCX file
  std::uint8_t version = 0;
  std::uint8_t encoding = 0;
  std::int8_t bits = 0;  // per pixel and plane
  std::uint16_t xmin = 0, ymin = 0, xmax = 0, ymax = 0;
  std::uint16_t hres = 0, vres = 0;
  std::uint8_t palette[48] = {};  // 16 triplets red, green, blue
  std::uint8_t reserved = 0;
  std::int8_t planes = 0;
  std::uint16_t bytes_per_line = 0;  // per plane
  std::uint16_t palette_info = 0, hscreen = 0, vscreen = 0;

  static constexpr int kSize = 128;
  // Bits per pixel and plane, and planes, a 0 taken as 1.
  int depth() const { return bits == 0 ? 1 : bits; }
  int plane_count() const { return planes == 0 ? 1 : planes; }
};

// PCX run-length lines: a byte with both top bits set repeats the next byte
// (its low six bits) times, any other byte stands for itself. A line is
// planes × bytes-per-line bytes; a run that passes its end is cut there.
class PcxLineReader {
 public:
  // Reads the lines of the file in through in, which must outlive it.
  PcxLineReader(io::ByteReader& in, const PcxHeader& header);

  // Decodes the next scan line, every plane one after the other, into line;
  // returns status().
  int read_line(std::uint8_t* line);
  // Goes back to the first scan line; returns status().
  int restart();
  int status();

  std::int64_t line_bytes() const { return m_line_bytes; }

 private:
  io::ByteReader& m_in;
  std::int64_t m_line_bytes;
  int m_status = 0;
};

// PCX files: those that start with byte 10.
extern const DecoderFormat kPcxFormat;

class PcxDecoder final : public Decoder {
 public:
  // Reads the header and the palette from in, which the decoder keeps;
  // failures are recorded in the status.
  explicit PcxDecoder(io::ByteReader in);

  int status() override { return m_status; }
  int rows() const override { return m_height; }
  int cols() const override { return m_width; }
  int decode(ImageSink& out) override;

 private:
  bool read_header();
  void build_palette();
  int format_code() const;
  void check_plausible_size();
  int decode_lines(ImageSink& out);
  void unpack(const std::uint8_t* line, std::uint8_t* index) const;

  io::ByteReader m_in;
  PcxHeader m_header;
  int m_height = 0;
  int m_width = 0;
  int m_read_failure = 0;  // what a failed read returned; later reads return it too
  std::vector<Rgb> m_palette;
};

}  // namespace kexio
