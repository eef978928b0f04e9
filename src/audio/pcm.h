// Conversion between interleaved PCM sample bytes and the columns of a
// column-major matrix of doubles.
//
// A frame holds one sample per channel, channel 0 first. Samples are stored
// little-endian in one of the encodings below and exchanged as the numbers
// stored, never scaled.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kexio::pcm {

enum class Sample : std::uint8_t {
  u8,   // one unsigned byte, 0..255
  s16,  // two's complement in 2 bytes
  s24,  // two's complement in 3 bytes
  s32,  // two's complement in 4 bytes
  f32,  // IEEE single
  f64,  // IEEE double
};

// Bytes per sample of an encoding.
constexpr unsigned width(Sample s) {
  switch (s) {
    case Sample::u8:
      return 1;
    case Sample::s16:
      return 2;
    case Sample::s24:
      return 3;
    case Sample::s32:
    case Sample::f32:
      return 4;
    case Sample::f64:
      return 8;
  }
  return 0;
}

// Frame i of src goes to row i of the columns: sample c to out[c * stride + i].
//
// src may also lie inside the columns' own memory, where its frames would
// lie if all frames of the matrix were packed at the end of its columns:
// frames are converted from the front, each read before any of its doubles
// is written, and when a frame takes at most 8 bytes no double reaches the
// samples of a later frame.
void unpack(const unsigned char* src, std::size_t frames, unsigned channels, Sample kind,
            double* out, std::size_t stride);

// Whether unpack can convert frames of this shape in place (see above).
constexpr bool unpacks_in_place(unsigned channels, Sample kind) {
  return std::size_t{channels} * width(kind) <= sizeof(double);
}

// The inverse, for the integer encodings: in[c * stride + i] becomes sample c
// of frame i in dst. Each value is truncated toward zero to a 32-bit integer
// (NaN and values outside the 32-bit range give 0x80000000) and its low 8,
// 16, 24 or 32 bits are stored.
void pack(const double* in, std::size_t stride, std::size_t frames, unsigned channels, Sample kind,
          unsigned char* dst);

// Reverses the bytes of every sample of the encoding among the n bytes at p,
// turning big-endian samples into the little-endian ones unpack reads.
void swap_bytes(unsigned char* p, std::size_t n, Sample kind);

// The truncation pack applies to every value.
inline std::int32_t trunc32(double x) {
  if (x > -2147483649.0 && x < 2147483648.0) return static_cast<std::int32_t>(x);
  return INT32_MIN;
}

}  // namespace kexio::pcm
