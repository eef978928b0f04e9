// How the program draws PLOT's lines in the terminal: Braille characters,
// each cell 2 × 4 dots, a colour per line, with the y range at the left, the
// x range below and a legend.
#pragma once

#include <cstddef>
#include <string>

#include "kexio/runtime/cvd.h"

namespace kexio::app {

// The plot of each column of y against x (a column of as many values as y
// has rows; null: the row numbers 1, 2, ...) in width columns and at most
// lines lines of text, the legend included. NaN and infinite values leave a
// gap in their line.
std::string plot_text(const Cvd::MatVal* x, const Cvd::MatVal& y, std::size_t width,
                      std::size_t lines);

}  // namespace kexio::app
