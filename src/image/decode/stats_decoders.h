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

// What the three decoders share: the status lives in error, the size comes
// from the library's first matrix, and there are no stored rows to decode.
class LibraryDecoder : public Decoder {
 public:
  int read_row() override { return 0; }
  int begin() override { return status(); }
  int end() override { return status(); }
  int status() override { return error; }
  int rows() const override { return height; }
  int cols() const override { return width; }

 protected:
  int width = 0;
  int height = 0;
};

// A grey image (PGM or PBM) as one matrix of samples.
class PgmDecoder final : public LibraryDecoder {
 public:
  PgmDecoder(KexCallContext* ctx, io::ByteReader in, const std::string& path);
  ~PgmDecoder() override;

  int read_gray(KexCallContext* ctx, Plane grey) override;
  int read_rgb(KexCallContext* ctx, Plane red, Plane green, Plane blue) override;
  int read_hls(KexCallContext* ctx, Plane hue, Plane light, Plane sat) override;
  int read_hsv(KexCallContext* ctx, Plane hue, Plane sat, Plane value) override;

 private:
  int read_colour_space(bool hls, Plane a, Plane b, Plane c);
  int finish(int code);
  _univ_mat m_image{};
};

// An image as a set of matrices: red, green and blue, or (layout 4) one
// matrix holding the three planes side by side.
class SetDecoder : public LibraryDecoder {
 public:
  ~SetDecoder() override;

  int read_gray(KexCallContext* ctx, Plane grey) override;
  int read_rgb(KexCallContext* ctx, Plane red, Plane green, Plane blue) override;
  int read_hls(KexCallContext* ctx, Plane hue, Plane light, Plane sat) override;
  int read_hsv(KexCallContext* ctx, Plane hue, Plane sat, Plane value) override;

 protected:
  SetDecoder() = default;
  // After the library filled the set: the size from its first matrix, and
  // kUnknownFormat unless the matrices it holds are usable.
  void take_set(int needed);
  _univ_mat_set m_set{};

 private:
  int read_colour_space(bool hls, Plane a, Plane b, Plane c);
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
