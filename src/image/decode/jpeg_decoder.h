// The JPEG decoder: a thin adapter over the IJG API of libjpeg-turbo, which
// does all the decoding (baseline, progressive and arithmetic-coded files;
// grey, YCbCr, RGB, CMYK and YCCK pictures).
#pragma once

#include <memory>

#include "image/decode/plane_writer.h"
#include "io/byte_reader.h"

namespace kexio {

class jpegDecoder final : public PixelDecoder {
 public:
  // Reads the headers from in, which the decoder keeps; failures are
  // recorded in the status.
  explicit jpegDecoder(io::ByteReader in);
  ~jpegDecoder() override;

  // The read operations decode the whole picture; there is no row to read.
  int read_row() override { return 0; }
  int begin() override { return status(); }
  int end() override { return status(); }
  int status() override { return m_status; }
  int rows() const override { return m_height; }
  int cols() const override { return m_width; }

  // Grey levels and colour planes go from the library's output straight into
  // the planes; CMYK pictures and the colour spaces through decode().
  int read_gray(KexCallContext* ctx, Plane grey) override;
  int read_rgb(KexCallContext* ctx, Plane red, Plane green, Plane blue) override;

  // The library's objects (defined with the decoder).
  struct Session;

 protected:
  int decode(PlaneWriter& out) override;

 private:
  // The whole picture from the library's grey or RGB output straight into
  // the planes given: every plane from the grey samples, or each plane from
  // its colour.
  int direct_planes(bool grey, Plane a, Plane b, Plane c);

  io::ByteReader m_in;
  std::unique_ptr<Session> m_session;
  int m_width = 0;
  int m_height = 0;
  bool m_grey = false;  // one component: grey samples in every operation
  bool m_cmyk = false;  // four components, read as inverted CMYK
  int m_status = 0;
};

}  // namespace kexio
