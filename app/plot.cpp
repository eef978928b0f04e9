#include "plot.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

#include "text.h"

namespace kexio::app {

namespace {

// The colours of the lines in turn, as the notebook's plots take them.
constexpr std::uint8_t kColours[][3] = {
    {31, 119, 180}, {255, 127, 14},  {44, 160, 44},   {214, 39, 40},  {148, 103, 189},
    {140, 86, 75},  {227, 119, 194}, {127, 127, 127}, {188, 189, 34}, {23, 190, 207}};
constexpr std::size_t kColourCount = sizeof kColours / sizeof kColours[0];

std::string colour(std::size_t line) {
  const std::uint8_t* c = kColours[line % kColourCount];
  return "\033[38;2;" + std::to_string(c[0]) + ";" + std::to_string(c[1]) + ";" +
         std::to_string(c[2]) + "m";
}

std::string label(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4g", v);
  return buf;
}

// The smallest and largest finite value; a range of one value is widened
// around it so that it has a middle.
struct Range {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  void add(double v) {
    if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
  }
  void settle() {
    if (lo > hi) lo = 0, hi = 1;  // nothing finite: empty axes
    if (lo == hi) lo -= 1, hi += 1;
  }
};

// Dots in cells of 2 × 4, each cell keeping the colour of the line that
// last set a dot in it.
class Canvas {
 public:
  Canvas(std::size_t cols, std::size_t rows)
      : m_cols(cols), m_rows(rows), m_bits(cols * rows), m_line(cols * rows) {}
  std::size_t dots_wide() const { return 2 * m_cols; }
  std::size_t dots_high() const { return 4 * m_rows; }

  void dot(std::size_t x, std::size_t y, std::size_t line) {
    static const std::uint8_t kBit[4][2] = {{0x01, 0x08}, {0x02, 0x10}, {0x04, 0x20}, {0x40, 0x80}};
    std::size_t i = (y / 4) * m_cols + x / 2;
    m_bits[i] |= kBit[y % 4][x % 2];
    m_line[i] = line;
  }
  // A straight run of dots from one point to the next (Bresenham).
  void segment(long x0, long y0, long x1, long y1, std::size_t line) {
    long dx = std::labs(x1 - x0), dy = -std::labs(y1 - y0);
    long sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1, err = dx + dy;
    while (true) {
      dot(static_cast<std::size_t>(x0), static_cast<std::size_t>(y0), line);
      if (x0 == x1 && y0 == y1) break;
      long e2 = 2 * err;
      if (e2 >= dy) err += dy, x0 += sx;
      if (e2 <= dx) err += dx, y0 += sy;
    }
  }
  std::string row(std::size_t r) const {
    std::string out;
    std::size_t shown = kColourCount + 1;  // none yet
    for (std::size_t c = 0; c < m_cols; ++c) {
      std::size_t i = r * m_cols + c;
      if (m_bits[i] != 0 && m_line[i] != shown) out += colour(shown = m_line[i]);
      append_utf8(out, m_bits[i] == 0 ? U' ' : static_cast<char32_t>(0x2800 + m_bits[i]));
    }
    return out + "\033[0m";
  }

 private:
  std::size_t m_cols, m_rows;
  std::vector<std::uint8_t> m_bits;
  std::vector<std::size_t> m_line;
};

// The dot of v from 0 (the range's low end) to span (its high end). Halves
// keep the difference of the most distant doubles finite; whatever is not
// finite (a range of one huge value) lands on an edge.
long place(double v, const Range& r, double span) {
  double t = (v * 0.5 - r.lo * 0.5) / (r.hi * 0.5 - r.lo * 0.5);
  return std::lround(std::clamp(std::isnan(t) ? 0.0 : t, 0.0, 1.0) * span);
}

// Draws one line. Points that fall into the dot column of the one before
// only widen that column's span, so that a long recording costs a step per
// sample rather than a run of dots per sample.
void draw_line(Canvas& canvas, const Cvd::MatVal* x, const double* y, std::size_t n,
               const Range& xr, const Range& yr, std::size_t line) {
  const double w = static_cast<double>(canvas.dots_wide() - 1);
  const double h = static_cast<double>(canvas.dots_high() - 1);
  bool have = false;
  long px = 0, py = 0, lo = 0, hi = 0;
  auto flush = [&] {
    if (have) canvas.segment(px, lo, px, hi, line);
  };
  for (std::size_t i = 0; i < n; ++i) {
    double xv = x != nullptr ? x->real()[i] : static_cast<double>(i + 1);
    if (!std::isfinite(xv) || !std::isfinite(y[i])) {
      flush();
      have = false;  // a gap
      continue;
    }
    long cx = place(xv, xr, w), cy = static_cast<long>(h) - place(y[i], yr, h);
    if (have && cx == px) {
      lo = std::min(lo, cy), hi = std::max(hi, cy);
    } else {
      flush();
      if (have) canvas.segment(px, py, cx, cy, line);
      lo = hi = cy;
    }
    px = cx, py = cy, have = true;
  }
  flush();
}

}  // namespace

std::string plot_text(const Cvd::MatVal* x, const Cvd::MatVal& y, std::size_t width,
                      std::size_t lines) {
  const std::size_t n = y.get_Rows(), count = y.get_Cols();
  Range xr, yr;
  for (std::size_t i = 0; i < n; ++i)
    xr.add(x != nullptr ? x->real()[i] : static_cast<double>(i + 1));
  for (std::size_t i = 0; i < y.size(); ++i)
    yr.add(y.real()[i]);
  xr.settle();
  yr.settle();

  // The y labels at the left of the axis; the plot takes the rest of the
  // width, and as many lines as keep its dots about square on the screen
  // (a cell is about twice as high as wide), but leaves room for the axis,
  // the x labels and the legend.
  std::string top = label(yr.hi), bottom = label(yr.lo);
  std::size_t gutter = std::max(char_count(top), char_count(bottom));
  std::size_t cols = width > gutter + 4 ? width - gutter - 2 : 2;
  std::size_t rows = std::clamp<std::size_t>(cols / 3, 2, std::max<std::size_t>(lines, 5) - 3);
  Canvas canvas(cols, rows);
  for (std::size_t c = 0; c < count; ++c)
    draw_line(canvas, x, y.real() + c * n, n, xr, yr, c);

  auto pad = [](const std::string& s, std::size_t w) {
    return std::string(w - std::min(w, char_count(s)), ' ') + s;
  };
  std::string out;
  for (std::size_t r = 0; r < rows; ++r) {
    std::string l = r == 0 ? top : r + 1 == rows ? bottom : "";
    out += pad(l, gutter) + (r == 0 || r + 1 == rows ? " ┤" : " │") + canvas.row(r) + "\n";
  }
  out += std::string(gutter + 1, ' ') + "└";
  for (std::size_t c = 0; c < cols; ++c)
    out += "─";
  std::string left = label(xr.lo), right = label(xr.hi);
  out += "\n" + std::string(gutter + 2, ' ') + left;
  out += pad(right, cols > char_count(left) + 1 ? cols - char_count(left) : char_count(right) + 1);
  out += "\n" + std::string(gutter + 2, ' ');
  // The legend, as much of it as fits the line.
  std::size_t used = gutter + 2;
  for (std::size_t c = 0; c < count; ++c) {
    std::string entry = "── column " + std::to_string(c + 1);
    if (used + char_count(entry) + 2 > width && c > 0) {
      out += "…";
      break;
    }
    out += colour(c) + entry + "\033[0m  ";
    used += char_count(entry) + 2;
  }
  return out + "\n";
}

}  // namespace kexio::app
