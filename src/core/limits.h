// The limits of the library, in one place. Each says what it bounds and why;
// the code that enforces one names it here instead of writing the number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

// Hidden in every library that uses it, whatever its own visibility.
#pragma GCC visibility push(hidden)

namespace kexio::limits {

// Matrix records carry their rows and columns as unsigned 32-bit numbers.
inline constexpr std::uint64_t kMaxDimension = std::numeric_limits<std::uint32_t>::max();

// Worksheet integers (sizes, counts, offsets the user gives) are signed
// 32-bit numbers.
inline constexpr std::int64_t kMaxInt32 = std::numeric_limits<std::int32_t>::max();

// Text tables: at most this many values are read from a plain table.
inline constexpr std::size_t kPrnMaxValues = 8'000'000;
// Nested-matrix files: deeper nesting is refused as malformed, since a
// chain of matrices that deep cannot be shown or released without
// recursing once per level.
inline constexpr int kPrnMaxNesting = 1000;
// A nested matrix holds at most this many elements: the nested-element
// table indexes them with signed 32-bit numbers.
inline constexpr std::int64_t kPrnMaxNestedElements = kMaxInt32;
// The worksheet's PRNPRECISION and PRNCOLWIDTH settings.
inline constexpr int kPrnMaxPrecision = 16;
inline constexpr int kPrnMaxColWidth = 132;

// BMP headers store the width and height as signed 32-bit numbers and the
// file size as an unsigned 32-bit one, which must leave room for the
// headers and the largest palette.
inline constexpr std::int64_t kBmpMaxSide = kMaxInt32;
inline constexpr std::int64_t kBmpMaxFileSize = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::int64_t kBmpMaxHeadersAndPalette = 2048;

// PNG stores widths, heights and chunk lengths as 31-bit numbers.
inline constexpr std::int64_t kPngMaxNumber = kMaxInt32;

// The most bytes one stored byte decodes to, by compression: what a file
// can hold at best, against which the sizes it states are checked before
// anything is sized from them. Deflate packs at most 258 bytes into a
// length and distance of two bits at best (1032 : 1); a PackBits run gives
// 128 bytes for 2; an LZW code of at least 9 bits gives a string no longer
// than its table (libtiff's holds 5119 entries: under 8192 bytes).
inline constexpr std::uint64_t kDeflateMaxRatio = 1032;
inline constexpr std::uint64_t kPackBitsMaxRatio = 64;
inline constexpr std::uint64_t kLzwMaxRatio = 8192 * 8 / 9 + 1;

// RIFF chunk sizes are unsigned 32-bit numbers; a WAV file's sample data
// must leave room for the 46 bytes of its headers within them.
inline constexpr std::uint64_t kRiffMaxChunk = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::uint64_t kWavHeaderBytes = 46;
inline constexpr std::uint64_t kWavMaxData = kRiffMaxChunk - kWavHeaderBytes;
// RF64 files carry 64-bit sizes; larger ones than this are refused as
// malformed, which keeps every position computed from them within 64 bits.
inline constexpr std::uint64_t kRiffMaxWideChunk = std::uint64_t{1} << 62;

// Raw images: a header to skip is at most 2^53 bytes, below which every
// whole number a worksheet holds is exact; a picture of more than 2^60
// samples could not be held as doubles by any machine, and the bound keeps
// its byte counts from overflowing.
inline constexpr double kRawMaxSkip = 9007199254740992.0;
inline constexpr std::uint64_t kRawMaxSamples = std::uint64_t{1} << 60;

// TIFF files written with more bytes of samples than this are BigTIFF: the
// 32-bit offsets of a classic file might not reach the end.
inline constexpr std::uint64_t kTiffMaxClassicBytes = std::uint64_t{3} << 30;

// Sketch files: at most this many points are read.
inline constexpr std::size_t kSketchMaxPoints = 16003;

// The longest message the host shows; longer texts are cut.
inline constexpr std::size_t kMaxMessage = 255;

// Streams (pipes, FIFOs, devices) have no size to check what they hold
// against, and some never end (a device of zeros). A text reader (READPRN,
// sketch files) ends with an error when a stream gives this many bytes
// without a value, so that neither its time nor the token it holds grows
// without bound.
inline constexpr std::uint64_t kStreamMaxWithoutValue = std::uint64_t{64} << 20;
// A reader that holds a whole stream before it can read it (READFILE, PGM and
// PPM images, nested-matrix tables) holds at most this many of its bytes;
// a WAV data chunk or a colormap from a stream is at most this large, and no
// stream is buffered in larger runs than this.
inline constexpr std::uint64_t kStreamMaxBytes = std::uint64_t{1} << 30;

}  // namespace kexio::limits
#pragma GCC visibility pop
