// The PNG decoder: every colour type and bit depth, interlaced or not,
// through libspng. Files in memory of 8-bit samples without a palette, not
// interlaced, have their image data inflated whole by libdeflate and their
// rows unfiltered here, the next band while the last one is handed on;
// libspng reads their other chunks as it reads every file's. Pixels are taken as stored: palettes
// and grey levels of fewer than 8 bits are expanded to 0..255 (a palette's indices are kept),
// 16-bit samples are delivered as they are, alpha with them, and
// transparency chunks and gamma are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "image/decode/decoder.h"
#include "io/byte_reader.h"

struct spng_ctx;

namespace kexio {

// PNG files: those that start with the 8-byte PNG signature (a shorter file
// is another format, so that the sniffers after this one still see it).
extern const DecoderFormat kPngFormat;

class PngDecoder final : public Decoder {
 public:
  // Reads the header from in, which the decoder keeps (a file in memory is
  // decoded where it lies); failures are recorded in the status.
  explicit PngDecoder(io::ByteReader in);
  ~PngDecoder() override;

  int status() override { return m_status; }
  int rows() const override { return m_rows; }
  int cols() const override { return m_cols; }
  int decode(ImageSink& out) override;

 private:
  struct FreeContext {
    void operator()(spng_ctx* ctx) const;
  };

  int fail(int spng_error);
  int fail(int spng_error, std::int64_t row);
  bool cut_in_image_data() const;
  // Bytes of one row as stored, without its filter byte.
  std::int64_t row_bytes() const;
  int decode_rows(ImageSink& out);
  int decode_interlaced(ImageSink& out);
  // The image data inflated as one stream and handed on as it comes; false
  // when the file is not one that way takes, or its image data or the
  // chunks after them are not all sound: the rows are then read row by row,
  // which fails as it always has (m_handed of them were handed on already).
  bool decode_whole(ImageSink& out);
  bool chunks_after_image_sound(std::size_t first_idat, std::size_t after) const;
  // Hands n rows as stored (libspng's own layout), stride bytes apart, to
  // out.
  void deliver(const std::uint8_t* first, std::ptrdiff_t stride, int n, ImageSink& out);

  io::ByteReader m_in;
  std::unique_ptr<spng_ctx, FreeContext> m_ctx;
  int m_rows = 0, m_cols = 0;
  int m_colour_type = 0, m_depth = 0;
  bool m_interlaced = false;
  bool m_whole = false;  // decoded by decode_whole
  // Rows decode_whole handed on before it found the data unsound: libspng
  // makes the same of them, and does not hand them on again.
  std::int64_t m_handed = 0;
  // libspng's limits, as every context of this file is given them.
  std::uint32_t m_side = 0;
  std::size_t m_chunk_limit = 0, m_kept = 0;
};

}  // namespace kexio
