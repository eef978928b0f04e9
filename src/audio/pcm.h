// Conversion between interleaved PCM sample bytes and the columns of a
// column-major matrix of doubles.
//
// A sample is one unsigned byte (narrow) or a signed 16-bit little-endian
// word (wide); a frame holds one sample per channel, channel 0 first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kexio::pcm {

// Frame i of src goes to row i of the columns: sample c to out[c * stride + i].
void unpack(const unsigned char* src, std::size_t frames, unsigned channels, bool wide, double* out,
            std::size_t stride);

// The inverse: in[c * stride + i] becomes sample c of frame i in dst. Each
// value is truncated toward zero to a 32-bit integer (NaN and values outside
// the 32-bit range give 0x80000000) and its low 8 or 16 bits are stored.
void pack(const double* in, std::size_t stride, std::size_t frames, unsigned channels, bool wide,
          unsigned char* dst);

// The truncation pack applies to every value.
inline std::int32_t trunc32(double x) {
  if (x > -2147483649.0 && x < 2147483648.0) return static_cast<std::int32_t>(x);
  return INT32_MIN;
}

}  // namespace kexio::pcm
