#include "view.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "text.h"
#include "values.h"

namespace kexio::app {

namespace {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

std::uint8_t level(double v) {
  if (!(v > 0.0)) return 0;  // NaN too
  if (v >= 255.0) return 255;
  return static_cast<std::uint8_t>(std::lround(v));
}

// The picture's pixels after scaling: each is the mean of the block of
// matrix elements it covers (a single element when enlarging). The picture
// keeps the matrix's shape, fits width columns and height pixel rows, and
// enlarges an element to at most 4 × 4 pixels (4 columns, 2 lines).
class Scaled {
 public:
  Scaled(const Cvd::MatVal& m, bool rgb, std::size_t width, std::size_t height)
      : m_m(m), m_rows(m.get_Rows()), m_cols(rgb ? m.get_Cols() / 3 : m.get_Cols()), m_rgb(rgb) {
    std::size_t w = std::max<std::size_t>(1, width), h = std::max<std::size_t>(1, height);
    double per = std::min({4.0, static_cast<double>(w) / static_cast<double>(m_cols),
                           static_cast<double>(h) / static_cast<double>(m_rows)});
    m_w = std::clamp<std::size_t>(round(per * static_cast<double>(m_cols)), 1, w);
    m_h = std::clamp<std::size_t>(round(per * static_cast<double>(m_rows)), 1, h);
  }
  std::size_t width() const { return m_w; }
  std::size_t height() const { return m_h; }

  Rgb at(std::size_t x, std::size_t y) const {
    std::size_t c0 = x * m_cols / m_w, c1 = std::max(c0 + 1, (x + 1) * m_cols / m_w);
    std::size_t r0 = y * m_rows / m_h, r1 = std::max(r0 + 1, (y + 1) * m_rows / m_h);
    double sum[3] = {0, 0, 0};
    for (std::size_t c = c0; c < c1; ++c) {
      for (std::size_t r = r0; r < r1; ++r) {
        for (int p = 0; p < (m_rgb ? 3 : 1); ++p)
          sum[p] += clamp(value(r, c + p * m_cols));
      }
    }
    double n = static_cast<double>((c1 - c0) * (r1 - r0));
    if (!m_rgb) {
      std::uint8_t v = level(sum[0] / n);
      return {v, v, v};
    }
    return {level(sum[0] / n), level(sum[1] / n), level(sum[2] / n)};
  }

 private:
  static std::size_t round(double x) { return static_cast<std::size_t>(std::llround(x)); }
  double value(std::size_t r, std::size_t c) const {
    return m_m.real()[c * static_cast<std::size_t>(m_rows) + r];
  }
  static double clamp(double v) { return v > 0.0 ? std::min(v, 255.0) : 0.0; }

  const Cvd::MatVal& m_m;
  std::size_t m_rows, m_cols;
  bool m_rgb;
  std::size_t m_w = 0, m_h = 0;
};

void colour(std::string& out, bool background, const Rgb& c) {
  out += background ? "\033[48;2;" : "\033[38;2;";
  out += std::to_string(c.r) + ";" + std::to_string(c.g) + ";" + std::to_string(c.b) + "m";
}

}  // namespace

std::string picture(const Cvd::MatVal& m, bool rgb, std::size_t width, std::size_t lines) {
  std::size_t cols = rgb ? m.get_Cols() / 3 : m.get_Cols();
  if (m.get_Rows() == 0 || cols == 0) return {};
  Scaled s(m, rgb, width, 2 * std::max<std::size_t>(1, lines));
  std::string out;
  for (std::size_t y = 0; y < s.height(); y += 2) {
    bool lower = y + 1 < s.height();
    Rgb fg, bg;
    bool have_fg = false, have_bg = false;
    for (std::size_t x = 0; x < s.width(); ++x) {
      Rgb top = s.at(x, y);
      if (!have_fg || !(top == fg)) colour(out, false, fg = top);
      have_fg = true;
      if (lower) {
        Rgb bottom = s.at(x, y + 1);
        if (!have_bg || !(bottom == bg)) colour(out, true, bg = bottom);
        have_bg = true;
      }
      out += "\u2580";
    }
    out += "\033[0m\n";
  }
  return out;
}

void draw_view(const ViewTarget& target, const Cvd::MatVal& m, bool rgb) {
  std::string size =
      std::to_string(m.get_Rows()) + "×" + std::to_string(rgb ? m.get_Cols() / 3 : m.get_Cols());
  if (!target.color) {
    *target.out << "(a " << size
                << " picture: VIEW draws on a colour terminal only; the matrix is its value)\n";
  } else if (m.get_Rows() == 0 || m.get_Cols() == 0) {
    *target.out << "(an empty picture)\n";
  } else {
    *target.out << picture(m, rgb, target.width, target.lines);
  }
  target.out->flush();
}

}  // namespace kexio::app
