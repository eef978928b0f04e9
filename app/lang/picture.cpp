#include "picture.h"

#include <algorithm>
#include <cmath>

namespace kexio::app {

namespace {

constexpr std::size_t kNotebookLeast = 256, kNotebookMost = 1024, kNotebookTallest = 4096;

std::uint8_t level(double v) {
  if (!(v > 0.0)) return 0;  // NaN too
  if (v >= 255.0) return 255;
  return static_cast<std::uint8_t>(std::lround(v));
}

double clamped(double v) {
  return v > 0.0 ? std::min(v, 255.0) : 0.0;
}

std::size_t scaled(double per, std::size_t n, std::size_t most) {
  return std::clamp<std::size_t>(
      static_cast<std::size_t>(std::llround(per * static_cast<double>(n))), 1,
      std::max<std::size_t>(most, 1));
}

}  // namespace

PictureSize fitting_size(std::size_t rows, std::size_t cols, std::size_t width,
                         std::size_t height) {
  std::size_t w = std::max<std::size_t>(1, width), h = std::max<std::size_t>(1, height);
  double per = std::min({4.0, static_cast<double>(w) / static_cast<double>(cols),
                         static_cast<double>(h) / static_cast<double>(rows)});
  return {scaled(per, cols, w), scaled(per, rows, h)};
}

PictureSize notebook_size(std::size_t rows, std::size_t cols) {
  if (rows == 0 || cols == 0) return {0, 0};
  double per = 1.0;
  if (cols < kNotebookLeast) {
    per = static_cast<double>((kNotebookLeast + cols - 1) / cols);
  } else if (cols > kNotebookMost) {
    per = static_cast<double>(kNotebookMost) / static_cast<double>(cols);
  }
  if (per * static_cast<double>(rows) > kNotebookTallest) {
    // Enlarged by a whole factor still, where one fits.
    double fit = static_cast<double>(kNotebookTallest) / static_cast<double>(rows);
    per = fit >= 1.0 ? std::floor(fit) : fit;
  }
  return {scaled(per, cols, kNotebookMost), scaled(per, rows, kNotebookTallest)};
}

std::vector<std::uint8_t> picture_pixels(const Cvd::MatVal& m, bool rgb, PictureSize size) {
  const std::size_t rows = m.get_Rows(), cols = rgb ? m.get_Cols() / 3 : m.get_Cols();
  const std::size_t w = size.width, h = size.height;
  const double* v = m.real();
  std::vector<std::uint8_t> out(w * h * 3, 0);
  if (rows == 0 || cols == 0) return out;
  for (std::size_t y = 0; y < h; ++y) {
    std::size_t r0 = y * rows / h, r1 = std::max(r0 + 1, (y + 1) * rows / h);
    for (std::size_t x = 0; x < w; ++x) {
      std::size_t c0 = x * cols / w, c1 = std::max(c0 + 1, (x + 1) * cols / w);
      double sum[3] = {0, 0, 0};
      for (std::size_t c = c0; c < c1; ++c) {
        for (std::size_t r = r0; r < r1; ++r) {
          for (std::size_t p = 0; p < (rgb ? 3u : 1u); ++p)
            sum[p] += clamped(v[(c + p * cols) * rows + r]);
        }
      }
      double n = static_cast<double>((c1 - c0) * (r1 - r0));
      std::uint8_t* px = &out[(y * w + x) * 3];
      for (std::size_t p = 0; p < 3; ++p)
        px[p] = level(sum[rgb ? p : 0] / n);
    }
  }
  return out;
}

}  // namespace kexio::app
