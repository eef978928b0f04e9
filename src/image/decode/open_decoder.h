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
// and no decoder. When the file cannot be opened and detail is given, it
// receives why, with the path, as a person reads it.
int open_decoder(KexCallContext* ctx, std::unique_ptr<Decoder>& out, const char* path,
                 std::string* detail = nullptr);

// The same over an open file or bytes in memory (path names it for the
// decoders that hand it to a host library); a decoder that fails as it is
// made gives its failure's detail to detail, when given.
int open_decoder(KexCallContext* ctx, std::unique_ptr<Decoder>& out, io::ByteReader in,
                 const std::string& path, std::string* detail = nullptr);

// A name with no "." anywhere gets the first of the formats' extensions
// (bmp, jpg, gif, tga, pcx, png, in that order) for which a file exists (the
// last when none does); any other name is kept as it is. Empty when no
// memory can be had.
std::optional<std::string> complete_image_name(const char* name);

}  // namespace kexio
