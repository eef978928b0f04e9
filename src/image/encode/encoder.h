// The interface of image encoders, the writing counterpart of Decoder: the
// caller fills the row buffer, write_row() encodes it as the next row of the
// file. Failures are recorded as the codes of codec_errors.h, never thrown.
#pragma once

#include "image/codec_errors.h"
#include "image/row_buffer.h"

namespace kexio {

class Encoder : public RowBuffer {
 public:
  virtual ~Encoder() = default;

  // Encodes the row buffer as the next row; returns the status.
  virtual int write_row() = 0;
  virtual int begin() = 0;
  virtual int end() = 0;
  // The current status, also stored as the error.
  virtual int status() = 0;

  using RowBuffer::row_span;
};

}  // namespace kexio
