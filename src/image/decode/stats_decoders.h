// The PGM, PPM and TIFF decoders. The host statistics library (kexstatscir,
// loaded at run time) reads the whole image into typed matrices when the
// decoder is made; the read operations convert those samples into the
// planes. Samples keep the file's depth: a 16-bit file gives 0..65535.
// Without the library every such file is an unknown format.
#pragma once

#include <string>

#include "image/decode/decoder.h"
#include "io/byte_reader.h"
#include "kexstatscir/imgset.h"

namespace kexio {

// PGM and PBM files (P1, P2, P4, P5 and any other "P" but P3 and P6), PPM
// files (P3, P6), and TIFF files (little-endian "I" or big-endian "M").
extern const DecoderFormat kPgmFormat;
extern const DecoderFormat kPpmFormat;
extern const DecoderFormat kTiffFormat;

// What the three decoders share: the size comes from the library's first
// matrix, and the planes are filled from the matrices by the decoders
// themselves, samples of any depth kept as they are. Sinks receive rows of
// 8- and 16-bit samples; other sample types are kUnknownFormat there.
class LibraryDecoder : public Decoder {
 public:
  int status() override { return m_status; }
  int rows() const override { return height; }
  int cols() const override { return width; }
  int read_planes(PixelOp op, Plane a, Plane b, Plane c) override;

 protected:
  virtual int read_gray(Plane grey) = 0;
  virtual int read_rgb(Plane red, Plane green, Plane blue) = 0;
  virtual int read_colour_space(bool hls, Plane a, Plane b, Plane c) = 0;

  int width = 0;
  int height = 0;
};

// A grey image (PGM or PBM) as one matrix of samples.
class PgmDecoder final : public LibraryDecoder {
 public:
  PgmDecoder(KexCallContext* ctx, io::ByteReader in, const std::string& path);
  ~PgmDecoder() override;

  int decode(ImageSink& out) override;

 private:
  int read_gray(Plane grey) override;
  int read_rgb(Plane red, Plane green, Plane blue) override;
  int read_colour_space(bool hls, Plane a, Plane b, Plane c) override;
  int finish(int code);
  _univ_mat m_image{};
};

// An image as a set of matrices: red, green and blue, or (layout 4) one
// matrix holding the three planes side by side.
class SetDecoder : public LibraryDecoder {
 public:
  ~SetDecoder() override;

  int decode(ImageSink& out) override;

 protected:
  SetDecoder() = default;
  // After the library filled the set: the size from its first matrix, and
  // kUnknownFormat unless the matrices it holds are usable.
  void take_set(int needed);
  _univ_mat_set m_set{};

 private:
  int read_gray(Plane grey) override;
  int read_rgb(Plane red, Plane green, Plane blue) override;
  int read_colour_space(bool hls, Plane a, Plane b, Plane c) override;
};

// A PPM file: three matrices.
class PpmDecoder final : public SetDecoder {
 public:
  PpmDecoder(KexCallContext* ctx, io::ByteReader in, const std::string& path);
};

// A TIFF file: three matrices, or one packed matrix (layout 4).
class TifDecoder final : public SetDecoder {
 public:
  TifDecoder(KexCallContext* ctx, io::ByteReader in, const std::string& path);
};

}  // namespace kexio
