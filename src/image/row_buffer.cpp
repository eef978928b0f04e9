#include "image/row_buffer.h"

#include <new>

#include "image/codec_errors.h"

namespace kexio {

int RowBuffer::allocate_row_buffer(std::int64_t bytes) {
  if (bytes < 0 || static_cast<std::uint64_t>(bytes) > SIZE_MAX) {
    m_status = kOutOfMemory;
    return m_status;
  }
  auto n = static_cast<std::size_t>(bytes);
  unsigned char* p = new (std::nothrow) unsigned char[n == 0 ? 1 : n]();
  if (p == nullptr) {
    m_status = kOutOfMemory;
    return m_status;
  }
  row_buffer.reset(p);
  row_length = bytes;
  return m_status;
}

unsigned char* RowBuffer::row_span(std::int64_t first, std::int64_t count) {
  if (first >= 0 && count >= 0 && first <= row_length && count <= row_length - first &&
      row_buffer != nullptr) {
    return row_buffer.get() + first;
  }
  m_status = kIndexOutOfBounds;
  return nullptr;
}

}  // namespace kexio
