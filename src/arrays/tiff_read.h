// TIFF files as typed arrays, through libtiff: the first image in stored row
// order (the orientation tag is not applied), with its own sample type.
#pragma once

#include <string>

#include "io/byte_reader.h"
#include "kexio/arrays.h"

namespace kexio::arrays {

// The first image of the TIFF file open in `in` (named path in messages).
// Grey, grey and alpha, colour and colour and alpha images of 8, 16, 32 and
// 64 bits (unsigned, signed, floating point) keep their samples as stored;
// grey of 1, 2 and 4 bits is spread over 0..255 (white 0 turned round), a
// palette's colours are the top bytes of its 16-bit entries, and any other
// image (YCbCr, CMYK, odd depths) is 8-bit colour from libtiff's RGBA
// reader, with alpha when the file has an alpha sample. Throws CodecFailure
// (kUnknownFormat for what libtiff cannot read, kFileIoError for a damaged
// file).
Kex::Array read_tiff(io::ByteReader& in, const std::string& path);

}  // namespace kexio::arrays
