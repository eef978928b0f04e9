// The PNG decoder: every colour type and bit depth, interlaced or not,
// through libspng. Pixels are taken as stored: palettes and grey levels of
// fewer than 8 bits are expanded to 0..255, 16-bit samples are rounded to
// 0..255, and alpha, transparency and gamma are ignored.
#pragma once

#include <cstdint>
#include <memory>

#include "image/decode/plane_writer.h"
#include "io/byte_reader.h"

struct spng_ctx;

namespace kexio {

struct Lead;

class PngDecoder final : public PixelDecoder {
 public:
  // Reads the header from in, which the decoder keeps (a file in memory is
  // decoded where it lies); failures are recorded in the status.
  explicit PngDecoder(io::ByteReader in);
  ~PngDecoder() override;

  int read_row() override { return 0; }  // decode() reads the rows
  int begin() override { return status(); }
  int end() override { return status(); }
  int status() override { return error; }
  int rows() const override { return m_rows; }
  int cols() const override { return m_cols; }

 protected:
  int decode(PlaneWriter& out) override;

 private:
  struct FreeContext {
    void operator()(spng_ctx* ctx) const;
  };

  int fail(int spng_error);
  // Bytes of one row as stored, without its filter byte.
  std::int64_t row_bytes() const;
  int decode_rows(PlaneWriter& out);
  int decode_interlaced(PlaneWriter& out);
  // Hands one row as stored (libspng's own layout) to out.
  void deliver(const std::uint8_t* row, PlaneWriter& out);

  io::ByteReader m_in;
  std::unique_ptr<spng_ctx, FreeContext> m_ctx;
  int m_rows = 0, m_cols = 0;
  int m_colour_type = 0, m_depth = 0;
  bool m_interlaced = false;
};

// 0 when the file starts with the 8-byte PNG signature, else kUnknownFormat
// (a shorter file included, so that the tests after this one still see it).
int sniff_png(const Lead& lead, io::ByteReader& in);

}  // namespace kexio
