// Row-major tables into the column-major order of host matrices. File
// formats store matrices row by row; host matrices hold them column by
// column, so every reader that builds a matrix from rows goes through this.
#pragma once

#include <cstddef>

namespace Kex {

// Copies the row-major rows x cols table at src into column-major order:
// element (r, c) goes to dst[c * stride + r] (stride >= rows), converted by
// conv. Tiles of 32 x 32 elements keep both sides in the cache.
template <typename S, typename D, typename Conv>
void transpose(const S* src, std::size_t rows, std::size_t cols, D* dst, std::size_t stride,
               Conv conv) {
  if (cols == 1 || (rows == 1 && stride == 1)) {
    for (std::size_t i = 0, n = rows * cols; i < n; ++i)
      dst[i] = conv(src[i]);
    return;
  }
  constexpr std::size_t kTile = 32;
  for (std::size_t r0 = 0; r0 < rows; r0 += kTile) {
    std::size_t r1 = r0 + kTile < rows ? r0 + kTile : rows;
    for (std::size_t c0 = 0; c0 < cols; c0 += kTile) {
      std::size_t c1 = c0 + kTile < cols ? c0 + kTile : cols;
      for (std::size_t c = c0; c < c1; ++c) {
        D* column = dst + c * stride;
        const S* from = src + c;
        for (std::size_t r = r0; r < r1; ++r)
          column[r] = conv(from[r * cols]);
      }
    }
  }
}

// The same without conversion.
template <typename T>
void transpose(const T* src, std::size_t rows, std::size_t cols, T* dst, std::size_t stride) {
  transpose(src, rows, cols, dst, stride, [](T v) { return v; });
}

}  // namespace Kex
