// The decoder factory: completes a name without extension, looks at the
// first bytes of the file and constructs the decoder of its format.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "image/decode/decoder.h"

namespace kexio {

// Opens a decoder for the local path. Returns 0 and the decoder, or a code
// and no decoder.
int open_decoder(KexCallContext* ctx, std::unique_ptr<Decoder>& out, const char* path);

// A name with no "." anywhere gets the first of the extensions bmp, jpg,
// gif, tga, pcx for which a file exists (pcx when none does); any other name
// is kept as it is. Empty when no memory can be had.
std::optional<std::string> complete_image_name(const char* name);

// 0 for a JFIF file (bytes 6 to 9 "JFIF"), kUnknownFormat for another file,
// kFileIoError when the file cannot be opened or has fewer than 10 bytes.
int sniff_jfif(const char* path);
// 0 for a plausible TGA header, kUnknownFormat otherwise, kFileIoError when
// the file cannot be opened or its 18-byte header cannot be read.
int sniff_tga(const char* path);

}  // namespace kexio
