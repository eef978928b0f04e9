// The error codes shared by the image decoders, the BMP encoder and the
// decoder factory, and the messages the image functions report for them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "kexio/host/values.h"

namespace kexio {

enum CodecError : int {
  kCodecOk = 0,
  kRleEndOfBitmap = 1,     // run-length data ended the bitmap before the last row
  kEndOfInput = 2,         // the file ended while it was read
  kPermissionDenied = 3,   // EACCES when the file was opened
  kFileNotFound = 4,       // ENOENT when the file was opened
  kTooManyOpenFiles = 5,   // EMFILE when the file was opened
  kFileIoError = 6,        // any other open failure, a failed or short read, an empty file
  kOutOfMemory = 7,        // an allocation failed
  kEndOfFile = 8,          // end of file reached while a row was read
  kCodeTableOverflow = 9,  // a code table overflowed
  kBadCompression = 10,    // an unknown compression method
  kIndexOutOfBounds = 11,  // an index outside the work buffer
  kUnknownFormat = 12,     // no known format, or an unsupported feature of one
  kBadHeader = 13,         // header not acceptable, unsupported bit depth
  // The GIF decoder's own findings.
  kBadSignature = 14,           // not "GIF87a" or "GIF89a"
  kBadCode = 15,                // a code above the next free code
  kHeaderUnreadable = 16,       // the signature is cut short
  kScreenUnreadable = 17,       // the logical screen descriptor is cut short
  kGlobalTableUnreadable = 18,  // the global colour table is cut short
  kTrailer = 19,                // the trailer before any image
  kStrayByte = 20,              // a byte that starts no block
  kNoImage = 21,                // the image descriptor is cut short, or there is none
  kControlUnreadable = 22,      // graphic control extension cut short
  kPlainTextUnreadable = 24,    // plain text extension cut short
  kApplicationUnreadable = 25,  // application extension cut short
  kUnknownExtension = 26,       // an extension label of no known kind
};

// Read operations add this to the status code of a failure found while the
// rows were read; such values report "file i/o error".
inline constexpr int kReadFailure = 65536;

// The message of a code: a static string, or null for 0.
const char* decoder_error_message(int code);

// The detail of a file that ends inside its image data, in row `row` (from
// 0 at the top) of `rows`, or where no row is known when row is negative.
std::string ends_in_image_data(std::int64_t row, std::int64_t rows);

// A code that ends a call: the image workers throw it and the entry layer
// reports the code's message at the argument index.
struct CodecFailure {
  int code;
  std::uint32_t index;
  std::string detail;  // said beside the message; may be empty
};

[[noreturn]] inline void fail_with(int code, std::uint32_t index = Kex::kWholeCall,
                                   std::string detail = {}) {
  throw CodecFailure{code, index, std::move(detail)};
}

}  // namespace kexio
