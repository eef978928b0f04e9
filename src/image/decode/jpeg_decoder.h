// The JPEG decoder: a thin adapter over the IJG API of libjpeg-turbo, which
// does all the decoding (baseline, progressive and arithmetic-coded files;
// grey, YCbCr, RGB, CMYK and YCCK pictures).
#pragma once

#include <memory>

#include "image/decode/decoder.h"
#include "io/byte_reader.h"

namespace kexio {

// JPEG files: those that start with a start-of-image marker and another
// marker (FF D8 FF), or whose bytes 6 to 9 are "JFIF" (the files recognised
// before any marker was looked at); kFileIoError for fewer than 10 bytes.
extern const DecoderFormat kJpegFormat;

class JpegDecoder final : public Decoder {
 public:
  // Reads the headers from in, which the decoder keeps; failures are
  // recorded in the status.
  explicit JpegDecoder(io::ByteReader in);
  ~JpegDecoder() override;

  int status() override { return m_status; }
  int rows() const override { return m_height; }
  int cols() const override { return m_width; }
  // The library's grey or RGB output a band of rows at a time; CMYK
  // pictures converted to RGB.
  int decode(ImageSink& out) override;

  // The library's objects (defined with the decoder).
  struct Session;

 private:
  io::ByteReader m_in;
  std::unique_ptr<Session> m_session;
  int m_width = 0;
  int m_height = 0;
  bool m_grey = false;  // one component: grey samples in every operation
  bool m_cmyk = false;  // four components, read as inverted CMYK
};

}  // namespace kexio
