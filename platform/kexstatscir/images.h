// What the image readers share: the memory limit, the channel arrays of an
// image being read, and the bytes of a C stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "io/byte_reader.h"
#include "kexstatscir/imgset.h"

namespace mutils::detail {

// The most bytes one image may take: the machine's physical memory. Larger
// images are refused before anything is allocated.
std::uint64_t image_memory_limit();

// The arrays an image is read into: one per channel, or one shared by all
// three channels of a grey image. They come from the arena of the call
// context the reader was given (large ones are backed by huge pages there,
// and the call releases them), else from the heap; they are handed to a
// record or a set only when the whole image has been read, so a failure
// never leaves a partial image.
class Channels {
 public:
  Channels(const Channels&) = delete;
  Channels& operator=(const Channels&) = delete;
  ~Channels();

  // Arrays come from the arena of context, a KexCallContext, or from the
  // heap when it is null.
  explicit Channels(void* context) : m_context(context) {}

  // rows x cols samples of the type in `count` arrays (1 or 3). False when
  // the size is negative, beyond a record's 32-bit shape or beyond the
  // memory limit, or when no memory can be had.
  bool allocate(std::int64_t rows, std::int64_t cols, _mutil_data_type type, int count);
  template <typename T>
  T* at(int k) const {
    return static_cast<T*>(m_data[k < m_count ? k : 0]);
  }
  int count() const { return m_count; }

  // Hands the first array to m (the others are released).
  void give(_univ_mat* m);
  // Hands the arrays to a set of three matrices (one array shared by the
  // three for a grey image). False when the set's records cannot be had.
  bool give(_univ_mat_set* set);

 private:
  std::uint32_t owned() const {
    return m_context != nullptr ? MUTIL_STORAGE_ARENA : MUTIL_STORAGE_HEAP;
  }

  void* m_context;
  void* m_data[3] = {};
  int m_count = 0;
  std::int32_t m_rows = 0, m_cols = 0;
  _mutil_data_type m_type = MUTIL_UINT8;
};

// The bytes of a C stream from its current position to its end: a regular
// file is mapped, anything else (a pipe, a stream in memory) is read into
// memory, at most up to the memory limit and limits::kStreamMaxBytes.
class StreamBytes {
 public:
  // False when the stream cannot be read.
  bool load(std::FILE* f);
  const std::uint8_t* begin() const { return m_begin; }
  const std::uint8_t* end() const { return m_end; }

 private:
  kexio::io::ByteReader m_file;
  std::vector<std::uint8_t> m_copy;
  const std::uint8_t* m_begin = nullptr;
  const std::uint8_t* m_end = nullptr;
};

}  // namespace mutils::detail
