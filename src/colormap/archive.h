// Length-prefixed strings in the byte forms of the platform's classic archive
// format, the one structure of colormap files beyond little-endian integers.
//
// String length prefixes:
//   L                      one byte, L < 0xFF
//   FF, W                  a 16-bit length, W < 0xFFFF
//   FF, FFFF, D            a 32-bit length
//   FF, FFFE, <prefix>     marks a string of 2-byte characters; the length
//                          (in characters) follows in one of the forms above
// The writer always uses the shortest form with 1-byte characters.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "io/byte_reader.h"
#include "io/byte_writer.h"

namespace kexio::archive {

// A string in any prefix form. 2-byte characters become single-byte text:
// code units up to 0xFF keep their value, higher ones become '?'. Nothing
// when the input ends first (then the reader's failure flag is set, unless
// the length alone already goes past the end of a file, or for a stream
// beyond limits::kStreamMaxBytes).
std::optional<std::string> read_string(io::ByteReader& in);

void write_string(io::ByteWriter& out, std::string_view s);

}  // namespace kexio::archive
