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

std::string ends_in_image_data(std::int64_t row, std::int64_t rows) {
  std::string detail = "the file ends inside the image data";
  if (row >= 0 && rows > 0) {
    detail += ", in row " + std::to_string(row) + " (rows 0 to " + std::to_string(rows - 1) + ")";
  }
  return detail;
}

}  // namespace kexio
