// PNG files written directly: signature, header, the filtered rows as one
// zlib stream in IDAT chunks, end. Rows are filtered one by one with the
// filter whose output has the least sum of absolute values (as libpng and
// Pillow choose), and the picture is compressed in parts on several threads
// at once, each part continuing the one before it (its last 32 KiB as the
// dictionary), so the stream is the one a single compressor would make with
// a flush at each part's end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Hidden in every library that uses it, whatever its own visibility.
#pragma GCC visibility push(hidden)

namespace kexio::io {

class ByteWriter;

struct PngPicture {
  std::uint32_t width, height;  // 1 .. 2^31 - 1
  unsigned channels;            // 1 grey, 2 grey and alpha, 3 colour, 4 colour and alpha
  unsigned depth;               // bits per sample: 8 or 16
  std::size_t row_bytes() const { return std::size_t{width} * channels * (depth / 8); }
};

// Puts rows first .. first + count - 1 of the picture into dst, one after
// another, row_bytes() each, 16-bit samples big-endian. Called by up to
// png_workers() threads at once, each with its own worker number and rows
// no other asks for; must not throw.
using PngRows = std::function<void(unsigned worker, std::uint32_t first, std::uint32_t count,
                                   std::uint8_t* dst)>;

// The most threads write_png uses for the picture (worker numbers
// 0 .. png_workers() - 1).
unsigned png_workers(const PngPicture& p);

// Writes the picture to out. Throws std::bad_alloc when memory runs out;
// a failure to write stays in out, for its owner to check. The bytes
// written depend only on the picture, not on the number of threads.
void write_png(ByteWriter& out, const PngPicture& p, const PngRows& rows);

}  // namespace kexio::io

#pragma GCC visibility pop
