// How the program draws VIEW's matrix as a picture in the terminal, with
// half-block characters in 24-bit colour (two pixel rows per line of text).
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

#include "functions.h"
#include "kexio/runtime/cvd.h"

namespace kexio::app {

// Where VIEW draws: a colour terminal with room for a picture of the given
// width and lines, or a stream that gets a note instead.
struct ViewTarget {
  std::ostream* out = nullptr;
  bool color = false;
  std::size_t width = 80;
  std::size_t lines = 22;
};

// The picture of grey levels (0..255), or of red, green and blue planes side
// by side (rgb), scaled to fit width columns and lines lines, an element
// taking at most 4 columns and 2 lines: lines of U+2580 with the upper pixel
// as foreground and the lower one as background colour.
std::string picture(const Cvd::MatVal& m, bool rgb, std::size_t width, std::size_t lines);

// Draws m, checked by VIEW (rgb: red, green and blue planes side by side),
// on target, or says there why it cannot.
void draw_view(const ViewTarget& target, const Cvd::MatVal& m, bool rgb);

// Shows on target what VIEW, PLOT or PLAY gave: a picture, a plot (or a note
// where there are no colours), and for PLAY a note that sound plays in a
// notebook only.
void show(const ViewTarget& target, const Display& d);

}  // namespace kexio::app
