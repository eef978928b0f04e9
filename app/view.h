// VIEW: a matrix looked at as a picture in the terminal, drawn with
// half-block characters in 24-bit colour (two pixel rows per line of text).
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

#include "kexio/runtime/cvd.h"

namespace kexio::app {

// Where VIEW draws: nowhere (JSON output: VIEW only gives its matrix), a
// colour terminal of the given width, or a stream that gets a note instead.
struct ViewTarget {
  std::ostream* out = nullptr;
  bool color = false;
  std::size_t width = 80;
};

// The picture of grey levels (0..255), or of red, green and blue planes side
// by side (rgb), scaled to width columns: lines of U+2580 with the upper
// pixel as foreground and the lower one as background colour.
std::string picture(const Cvd::MatVal& m, bool rgb, std::size_t width);

// Draws m (the first argument) on target, or says why it cannot, and gives
// m back. Throws Kex::Exception for an argument it cannot show.
Cvd::Ref view(const ViewTarget& target, const Cvd::Ref& m, const Cvd::Ref* kind);

}  // namespace kexio::app
