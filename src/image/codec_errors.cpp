#include "image/codec_errors.h"

namespace kexio {

const char* decoder_error_message(int code) {
  // Compared as unsigned: negative codes are read failures too.
  switch (static_cast<unsigned>(code)) {
    case 0:
      return nullptr;
    case 3:
      return "permission denied";
    case 4:
      return "file open error";
    case 5:
      return "too many open files";
    case 7:
      return "out of memory";
    case 9:
      return "overflow";
    case 11:
      return "index out of bounds";
    case 12:
      return "unknown file format";
    case 13:
      return "not a packed image matrix";
    case 27:
      return "interrupted";
    default:
      return "file i/o error";
  }
}

}  // namespace kexio
