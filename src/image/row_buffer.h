// The work buffer of the image decoders: one row (or more) of bytes that a
// decoder decodes into, with checked access, and the status members every
// decoder shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kexio {

class RowBuffer {
 public:
  RowBuffer(const RowBuffer&) = delete;
  RowBuffer& operator=(const RowBuffer&) = delete;

  // How the codec lays out its planes (4: the columns already hold the three
  // colour planes side by side).
  int layout() const { return m_layout; }

 protected:
  RowBuffer() = default;
  ~RowBuffer() = default;

  // Allocates a zero-filled buffer of bytes bytes; on failure records
  // kOutOfMemory and keeps the old buffer. Returns error.
  int allocate_row_buffer(std::int64_t bytes);

  // count bytes from byte first of the buffer, or null (and
  // kIndexOutOfBounds) when they do not all lie inside it. Lets a codec check
  // a whole row once instead of every pixel.
  unsigned char* row_span(std::int64_t first, std::int64_t count);

  int m_layout = 0;
  std::unique_ptr<unsigned char[]> row_buffer;
  std::int64_t row_length = 0;
  int m_status = 0;
};

}  // namespace kexio
