#include "view.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "picture.h"
#include "plot.h"
#include "text.h"
#include "values.h"

namespace kexio::app {

namespace {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

void colour(std::string& out, bool background, const Rgb& c) {
  out += background ? "\033[48;2;" : "\033[38;2;";
  out += std::to_string(c.r) + ";" + std::to_string(c.g) + ";" + std::to_string(c.b) + "m";
}

}  // namespace

std::string picture(const Cvd::MatVal& m, bool rgb, std::size_t width, std::size_t lines) {
  std::size_t cols = rgb ? m.get_Cols() / 3 : m.get_Cols();
  if (m.get_Rows() == 0 || cols == 0) return {};
  PictureSize size = fitting_size(m.get_Rows(), cols, width, 2 * std::max<std::size_t>(1, lines));
  std::vector<std::uint8_t> px = picture_pixels(m, rgb, size);
  auto at = [&](std::size_t x, std::size_t y) {
    const std::uint8_t* p = &px[(y * size.width + x) * 3];
    return Rgb{p[0], p[1], p[2]};
  };
  std::string out;
  for (std::size_t y = 0; y < size.height; y += 2) {
    bool lower = y + 1 < size.height;
    Rgb fg, bg;
    bool have_fg = false, have_bg = false;
    for (std::size_t x = 0; x < size.width; ++x) {
      Rgb top = at(x, y);
      if (!have_fg || !(top == fg)) colour(out, false, fg = top);
      have_fg = true;
      if (lower) {
        Rgb bottom = at(x, y + 1);
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

void show(const ViewTarget& target, const Display& d) {
  const Cvd::MatVal& m = *as_matrix(d.m);
  std::ostream& out = *target.out;
  switch (d.kind) {
    case Display::Kind::View:
      draw_view(target, m, d.rgb);
      return;
    case Display::Kind::Plot:
      if (target.color) {
        out << plot_text(as_matrix(d.x), m, target.width, target.lines);
      } else {
        std::size_t lines = m.get_Cols(), points = m.get_Rows();
        out << "(a plot of " << lines << (lines == 1 ? " line" : " lines") << " of " << points
            << (points == 1 ? " point" : " points")
            << ": PLOT draws on a colour terminal only; y is its value)\n";
      }
      break;
    case Display::Kind::Play: {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.3g", static_cast<double>(m.get_Rows()) / d.rate);
      out << "(" << m.get_Cols() << (m.get_Cols() == 1 ? " channel" : " channels") << " of "
          << seconds << " s at " << static_cast<unsigned long long>(d.rate) << " Hz, " << d.bits
          << " bits: PLAY plays sound in a notebook only; the matrix is its value)\n";
      break;
    }
  }
  out.flush();
}

}  // namespace kexio::app
