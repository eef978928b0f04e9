// What the typed-matrix functions share: element sizes, record checks and
// the buffer of formatted messages.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kexstatscir/matuniv.h"

namespace mutils::detail {

// Bytes per element of a type code; 0 for an unknown code.
inline std::size_t element_size(std::int32_t type) {
  switch (type) {
    case MUTIL_UINT8:
    case MUTIL_SINT8:
      return 1;
    case MUTIL_UINT16:
    case MUTIL_SINT16:
      return 2;
    case MUTIL_UINT32:
    case MUTIL_SINT32:
    case MUTIL_FLOAT:
      return 4;
    case MUTIL_DOUBLE:
      return 8;
    default:
      return 0;
  }
}

inline std::size_t element_count(const _univ_mat* m) {
  return static_cast<std::size_t>(m->rows) * static_cast<std::size_t>(m->cols);
}

// Null when m is a usable record, else why not.
inline const char* check_record(const _univ_mat* m) {
  if (m == nullptr || m->rows < 0 || m->cols < 0 || element_size(m->type) == 0) {
    return "invalid typed matrix";
  }
  if (m->data == nullptr && element_count(m) != 0) return "out of memory";
  return nullptr;
}

// A message with numbers in it, kept until the next such message.
const char* format_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace mutils::detail
