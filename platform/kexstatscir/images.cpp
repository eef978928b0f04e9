#include "images.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "core/limits.h"
#include "core/memory.h"
#include "io/stream.h"
#include "kexio/host/context.h"
#include "records.h"

namespace mutils::detail {

std::uint64_t image_memory_limit() {
  return kexio::memory::physical();
}

Channels::~Channels() {
  if (m_context != nullptr) return;  // the call's arena releases its arrays
  for (void* p : m_data)
    std::free(p);
}

bool Channels::allocate(std::int64_t rows, std::int64_t cols, _mutil_data_type type, int count) {
  if (rows < 0 || cols < 0 || rows > INT32_MAX || cols > INT32_MAX) return false;
  const std::uint64_t bytes =
      static_cast<std::uint64_t>(rows) * static_cast<std::uint64_t>(cols) * element_size(type);
  if (bytes > image_memory_limit() / static_cast<std::uint64_t>(count)) return false;
  m_rows = static_cast<std::int32_t>(rows);
  m_cols = static_cast<std::int32_t>(cols);
  m_type = type;
  m_count = count;
  for (int k = 0; k < count && bytes != 0; ++k) {
    const auto n = static_cast<std::size_t>(bytes);
    m_data[k] = m_context != nullptr
                    ? static_cast<KexCallContext*>(m_context)->m_alloc->allocate_array(n)
                    : std::malloc(n);
    if (m_data[k] == nullptr) return false;
  }
  return true;
}

void Channels::give(_univ_mat* m) {
  *m = {m_rows, m_cols, m_data[0] != nullptr ? owned() : MUTIL_STORAGE_NONE, m_data[0], m_type};
  m_data[0] = nullptr;
}

bool Channels::give(_univ_mat_set* set) {
  auto* mats = static_cast<_univ_mat*>(std::calloc(3, sizeof(_univ_mat)));
  if (mats == nullptr) return false;
  for (int k = 0; k < 3; ++k) {
    void* data = m_data[k < m_count ? k : 0];
    std::uint32_t storage = data == nullptr ? MUTIL_STORAGE_NONE
                            : k < m_count   ? owned()
                                            : MUTIL_STORAGE_SHARED;
    mats[k] = {m_rows, m_cols, storage, data, m_type};
  }
  for (void*& p : m_data)
    p = nullptr;
  *set = {{0, 0}, 3, mats};
  return true;
}

bool StreamBytes::load(std::FILE* f) {
  if (kexio::io::Fd copy = kexio::io::duplicate(fileno(f))) {
    kexio::io::ByteReader file{std::move(copy)};
    if (file.contents() != nullptr) {
      const std::int64_t at = std::clamp<std::int64_t>(ftello(f), 0, file.size());
      m_file = std::move(file);
      m_begin = m_file.contents() + at;
      m_end = m_file.contents() + m_file.size();
      return true;
    }
  }
  // Not a regular file: read what the stream holds, up to the most a stream
  // may hold.
  const std::uint64_t limit = std::min(image_memory_limit(), kexio::limits::kStreamMaxBytes);
  if (!kexio::io::read_rest(f, m_copy, limit)) return false;
  m_begin = m_copy.data();
  m_end = m_begin + m_copy.size();
  return true;
}

}  // namespace mutils::detail

namespace mutils {

void matset_free_matrices(_univ_mat_set* set) {
  if (set == nullptr || set->mats == nullptr) return;
  for (std::int32_t i = 0; i < set->count; ++i)
    matuniv_free(&set->mats[i]);
}

void matset_free(_univ_mat_set* set) {
  if (set == nullptr) return;
  std::free(set->mats);
  set->mats = nullptr;
  set->count = 0;
}

}  // namespace mutils
