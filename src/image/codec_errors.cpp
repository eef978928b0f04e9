#include "image/codec_errors.h"

namespace kexio {

namespace {

// The codes with a message of their own; every other code, negative ones
// and read failures (kReadFailure + code) included, is "file i/o error".
struct CodeMessage {
  CodecError code;
  const char* message;
};
constexpr CodeMessage kMessages[] = {
    {kPermissionDenied, "permission denied"},   {kFileNotFound, "file open error"},
    {kTooManyOpenFiles, "too many open files"}, {kOutOfMemory, "out of memory"},
    {kCodeTableOverflow, "overflow"},           {kIndexOutOfBounds, "index out of bounds"},
    {kUnknownFormat, "unknown file format"},    {kBadHeader, "not a packed image matrix"},
};

}  // namespace

const char* decoder_error_message(int code) {
  if (code == kCodecOk) return nullptr;
  for (const CodeMessage& m : kMessages) {
    if (m.code == code) return m.message;
  }
  return "file i/o error";
}

}  // namespace kexio
