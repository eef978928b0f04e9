// A growable array of plain values. Small arrays live on the heap; from
// 1 MiB on an array is an anonymous mapping in huge pages that grows by
// remapping its pages instead of copying them, so a buffer that doubles many
// times still costs one pass over its memory. Fresh elements read as zeros.
// Failure to grow, or growth beyond the machine's memory, throws
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "core/memory.h"

namespace tblreadr {

template <typename T>
class Growable {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Growable() = default;
  explicit Growable(std::size_t capacity) { reserve(capacity); }
  Growable(Growable&& o) noexcept
      : m_data(std::exchange(o.m_data, nullptr)),
        m_size(std::exchange(o.m_size, 0)),
        m_cap(std::exchange(o.m_cap, 0)),
        m_bytes(std::exchange(o.m_bytes, 0)) {}
  Growable& operator=(Growable&& o) noexcept {
    if (this != &o) {
      unmap();
      m_data = std::exchange(o.m_data, nullptr);
      m_size = std::exchange(o.m_size, 0);
      m_cap = std::exchange(o.m_cap, 0);
      m_bytes = std::exchange(o.m_bytes, 0);
    }
    return *this;
  }
  Growable(const Growable&) = delete;
  Growable& operator=(const Growable&) = delete;
  ~Growable() { unmap(); }

  T* data() { return m_data; }
  const T* data() const { return m_data; }
  std::size_t size() const { return m_size; }

  void push(T v) {
    if (m_size == m_cap) grow(m_size + 1);
    m_data[m_size++] = v;
  }
  // Appends n elements (uninitialised) and returns the first of them.
  T* extend(std::size_t n) {
    if (m_cap - m_size < n) grow(m_size + n);
    T* p = m_data + m_size;
    m_size += n;
    return p;
  }
  void shrink_to(std::size_t n) { m_size = n; }
  void reserve(std::size_t n) {
    if (n > m_cap) resize_mapping(n);
  }

 private:
  void grow(std::size_t need) {
    if (need < m_size) throw std::bad_alloc();  // the count wrapped around
    std::size_t cap = m_cap < 1024 ? 1024 : m_cap;
    while (cap < need)
      cap = cap > SIZE_MAX / 4 ? need : cap * 2;
    resize_mapping(cap);
  }

  static constexpr std::size_t kMapped = std::size_t{1} << 20;

  void resize_mapping(std::size_t cap) {
    namespace memory = kexio::memory;
    if (cap > memory::physical() / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = memory::mapping_size(cap * sizeof(T));
    void* p;
    if (bytes < kMapped) {
      p = std::realloc(m_data, bytes);
      if (p == nullptr) throw std::bad_alloc();
      std::memset(static_cast<char*>(p) + m_bytes, 0, bytes - m_bytes);
    } else if (m_data != nullptr && m_bytes >= kMapped) {
      p = memory::remap(m_data, m_bytes, bytes);
    } else {
      p = memory::map(bytes);
      if (p != nullptr && m_data != nullptr) {
        std::memcpy(p, m_data, m_bytes);
        std::free(m_data);
      }
    }
    if (p == nullptr) throw std::bad_alloc();
    m_data = static_cast<T*>(p);
    m_bytes = bytes;
    m_cap = bytes / sizeof(T);
  }

  void unmap() {
    if (m_data != nullptr && m_bytes >= kMapped) kexio::memory::unmap(m_data, m_bytes);
    if (m_data != nullptr && m_bytes < kMapped) std::free(m_data);
    m_data = nullptr;
  }

  T* m_data = nullptr;
  std::size_t m_size = 0;
  std::size_t m_cap = 0;
  std::size_t m_bytes = 0;
};

}  // namespace tblreadr
