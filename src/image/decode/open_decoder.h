// The decoder factory: completes a name without extension, opens the file
// once, looks at its first bytes and constructs the decoder of its format.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "image/decode/decoder.h"
#include "io/byte_reader.h"

namespace kexio {

// Opens a decoder for the local path. Returns 0 and the decoder, or a code
// and no decoder.
int open_decoder(KexCallContext* ctx, std::unique_ptr<Decoder>& out, const char* path);

// The same over an open file or bytes in memory (path names it for the
// decoders that hand it to a host library).
int open_decoder(KexCallContext* ctx, std::unique_ptr<Decoder>& out, io::ByteReader in,
                 const std::string& path);

// A name with no "." anywhere gets the first of the extensions bmp, jpg,
// gif, tga, pcx, png for which a file exists (png when none does); any other
// name is kept as it is. Empty when no memory can be had.
std::optional<std::string> complete_image_name(const char* name);

// What the factory reads first: the first byte and the decimal integer that
// follows it after white space (0 when none does).
struct Lead {
  int first;
  int number;
};

// The sniffers of formats told apart by their contents. Each looks at the
// start of the file (leaving the reader there) and returns 0 for its
// format, kUnknownFormat for another, or another code that ends the search.
//
// JPEG: 0 when the file starts with a start-of-image marker and another
// marker (FF D8 FF), or when bytes 6 to 9 are "JFIF" (the files recognised
// before any marker was looked at); kFileIoError for fewer than 10 bytes.
int sniff_jpeg(const Lead& lead, io::ByteReader& in);
// TGA: 0 for a plausible 18-byte header; kFileIoError when it is cut short.
int sniff_tga(const Lead& lead, io::ByteReader& in);

}  // namespace kexio
