// The interface every image decoder implements for the image reading
// functions.
//
// A decoder is created by open_decoder for one file, asked for its size,
// read once through one of the four read operations, checked with end() and
// destroyed. Decoders never throw for file or format problems: they record a
// code of codec_errors.h that the reading function turns into its message.
#pragma once

#include "image/codec_errors.h"
#include "image/row_buffer.h"
#include "kexio/host/context.h"

namespace kexio {

// A plane of the result: one pointer per image column, each to rows()
// consecutive doubles (row 0 is the top of the picture). A null plane is not
// asked for and is skipped.
using Plane = double* const*;

class Decoder : public RowBuffer {
 public:
  virtual ~Decoder() = default;

  // Decodes the next stored row into the row buffer (used by the decoder's
  // own read operations).
  virtual int read_row() = 0;
  // Called once by open_decoder after a successful construction.
  virtual int begin() = 0;
  // Called once after a read operation returned 0.
  virtual int end() = 0;
  // The decoder's status code; 0 when all is well.
  virtual int status() = 0;

  // The read operations fill their planes with values 0 to 255 (grey level,
  // red, green, blue) or with the colour-space components of each pixel, and
  // return 0 or a code.
  virtual int read_gray(KexCallContext* ctx, Plane grey) = 0;
  virtual int read_rgb(KexCallContext* ctx, Plane red, Plane green, Plane blue) = 0;
  virtual int read_hls(KexCallContext* ctx, Plane hue, Plane light, Plane sat) = 0;
  virtual int read_hsv(KexCallContext* ctx, Plane hue, Plane sat, Plane value) = 0;

  // Image height and width in pixels (for layout 4 the width counts the
  // three planes).
  virtual int rows() const = 0;
  virtual int cols() const = 0;
};

enum class PixelOp;
class PlaneWriter;

// A decoder of 8-bit pictures: it hands its rows, as palette indices or red,
// green and blue samples, to a PlaneWriter, which serves all four read
// operations.
class PixelDecoder : public Decoder {
 public:
  int read_gray(KexCallContext* ctx, Plane grey) override;
  int read_rgb(KexCallContext* ctx, Plane red, Plane green, Plane blue) override;
  int read_hls(KexCallContext* ctx, Plane hue, Plane light, Plane sat) override;
  int read_hsv(KexCallContext* ctx, Plane hue, Plane sat, Plane value) override;

 protected:
  // Decodes the picture into out (palette, then every row in stored order)
  // and returns what the read operation returns; out.op() tells which one
  // it is.
  virtual int decode(PlaneWriter& out) = 0;
  // Whether the stored rows run from the bottom of the picture up.
  virtual bool bottom_up() const { return false; }

 private:
  int read_planes(PixelOp op, Plane a, Plane b, Plane c);
};

}  // namespace kexio
