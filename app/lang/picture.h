// VIEW's picture as pixels, for every front end: the matrix's grey levels
// (0..255; others are clamped, NaN is black), or its red, green and blue
// planes side by side, scaled to a size, each pixel the mean of the
// elements it covers (a single element when enlarging).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kexio/runtime/cvd.h"

namespace kexio::app {

struct PictureSize {
  std::size_t width = 0, height = 0;
};

// The size of the picture of rows × cols elements that fits width × height
// pixels with its shape kept, an element enlarged to at most 4 × 4 pixels
// (a terminal).
PictureSize fitting_size(std::size_t rows, std::size_t cols, std::size_t width, std::size_t height);

// The size in a notebook: one pixel per element, a picture narrower than
// 256 pixels enlarged by the whole factor that makes it at least 256 wide,
// one wider than 1024 reduced to 1024, its shape kept; and at most 4096
// pixels high, a taller one reduced to that. An empty matrix has no pixels.
PictureSize notebook_size(std::size_t rows, std::size_t cols);

// The pixels of m (checked by VIEW; rgb: three planes side by side) at the
// given size, row by row from the top, 3 bytes (red, green, blue) each;
// black where m has no elements.
std::vector<std::uint8_t> picture_pixels(const Cvd::MatVal& m, bool rgb, PictureSize size);

}  // namespace kexio::app
