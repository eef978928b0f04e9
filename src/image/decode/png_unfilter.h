// PNG's row filters undone: each stored row starts with its filter type
// (none, sub, up, average, Paeth), and the bytes after it are the
// differences from the predictions those filters make from the row's
// left neighbours and the row above.
#pragma once

#include <cstddef>
#include <cstdint>

// Hidden in every library that uses it, whatever its own visibility.
#pragma GCC visibility push(hidden)

namespace kexio::png {

// Reconstructs the n bytes of a row in place from its filter type (0 to 4;
// the caller has checked it), the row above (n bytes; zeros for the first
// row) and the bytes per pixel (1 to 8).
void unfilter(int type, std::uint8_t* row, const std::uint8_t* above, std::size_t n, int bpp);

}  // namespace kexio::png
#pragma GCC visibility pop
