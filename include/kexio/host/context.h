// The per-call arena and call context.
//
// Every worker receives a KexCallContext first. Its arena hands out result
// headers from a 96-byte inline buffer (allocating downward) and element
// arrays from heap blocks linked into m_blocks; everything is released at
// once when the context closes. The three statics describe the innermost open
// arena of the calling thread and are saved and restored so that contexts
// nest like a stack; each thread has its own, so calls on several threads
// never see each other's arenas.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kexio/host/values.h"

class IcvAllocator {
 public:
  // Heads every heap block of the arena. Deleting a link frees its whole
  // block, whichever way the block was obtained.
  struct link {
    link* next;
    static void operator delete(void* p) noexcept;
  };

  // The inline buffer with its two allocation pointers.
  struct membuf {
    unsigned char m_buf[96];
    unsigned char* m_top;
    unsigned char* m_limit;
  };

  unsigned char m_buf[96];
  unsigned char* m_top;
  unsigned char* m_limit;
  std::int32_t m_saved_init_handle;
  IcvAllocator* m_saved_current;
  link* m_blocks;
  std::uint32_t m_reserved;  // left to the out-of-line operations

  static constinit thread_local IcvAllocator* m_current;
  static constinit thread_local std::int32_t m_NextHandle;
  static constinit thread_local std::int32_t m_init_handle;

  // Makes n bytes available at m_top from a new heap block linked into
  // m_blocks; leaves m_top null when no memory can be had.
  void NewBuf(std::size_t n);

  // An element array owned by the arena until its context closes; null when
  // no memory can be had. Large arrays come from huge-page-backed mappings
  // that KexMarshal::UnMarshal can hand over to a host value.
  void* allocate_array(std::size_t bytes);

  // The inline fast path for a fixed-size record of n bytes.
  void* alloc(std::size_t n) {
    auto top = reinterpret_cast<std::uintptr_t>(m_top);
    auto limit = reinterpret_cast<std::uintptr_t>(m_limit);
    if (top - limit < n || top < limit) {
      NewBuf(n);
    } else {
      m_top = reinterpret_cast<unsigned char*>(top - n);
    }
    return m_top;
  }
};

static_assert(sizeof(IcvAllocator::link) == 8);
static_assert(sizeof(IcvAllocator::membuf) == 112);
static_assert(offsetof(IcvAllocator, m_top) == 96);
static_assert(offsetof(IcvAllocator, m_limit) == 104);
static_assert(offsetof(IcvAllocator, m_saved_init_handle) == 112);
static_assert(offsetof(IcvAllocator, m_saved_current) == 120);
static_assert(offsetof(IcvAllocator, m_blocks) == 128);
static_assert(offsetof(IcvAllocator, m_reserved) == 136);
static_assert(sizeof(IcvAllocator) == 144);

// The context passed first to every worker. Opening and closing follow a
// fixed order of steps so that the statics are exactly restored, also when an
// error unwinds through the entry layer.
class KexCallContext : public IcvAllocator {
 public:
  IcvAllocator* m_alloc;
  void* m_aux;

  KexCallContext() {
    m_top = m_buf + sizeof m_buf;
    m_limit = m_buf;
    m_saved_init_handle = m_init_handle;
    m_blocks = nullptr;
    m_init_handle = m_NextHandle;
    m_saved_current = m_current;
    m_current = this;
    m_alloc = this;
    m_aux = nullptr;
  }

  ~KexCallContext() {
    while (m_blocks != nullptr) {
      link* first = m_blocks;
      m_blocks = first->next;
      delete first;
    }
    m_NextHandle = m_init_handle;
    m_init_handle = m_saved_init_handle;
    m_current = m_saved_current;
  }

  KexCallContext(const KexCallContext&) = delete;
  KexCallContext& operator=(const KexCallContext&) = delete;
};

// The arena comes first (offset 0), m_alloc at 144 and m_aux at 152; the
// field offsets are checked by the tests, offsetof not being usable on a
// derived class.
static_assert(sizeof(KexCallContext) == 160);

namespace Kex {

// Result-building helpers. They take the arena to use (normally the
// context's m_alloc), copy no element data, and return null when the arena
// fails.
inline aMatrix* new_matrix(IcvAllocator* arena, std::uint32_t rows, std::uint32_t cols, double* rv,
                           double* iv) {
  auto* m = static_cast<aMatrix*>(arena->alloc(sizeof(aMatrix)));
  if (m == nullptr) return nullptr;
  m->tag[0] = rows;
  m->tag[1] = kMatrixTag;
  m->rows = rows;
  m->cols = cols;
  m->m_rv = rv;
  m->m_iv = iv;
  return m;
}

inline aMatrix* new_real_matrix(IcvAllocator* arena, std::uint32_t rows, std::uint32_t cols,
                                double* rv) {
  return new_matrix(arena, rows, cols, rv, nullptr);
}

inline aVector* new_vector(IcvAllocator* arena, std::uint32_t n, double* rv) {
  return static_cast<aVector*>(new_matrix(arena, n, 1, rv, nullptr));
}

inline aComplex* new_complex(IcvAllocator* arena, const double* rp, const double* ip) {
  auto* z = static_cast<aComplex*>(arena->alloc(sizeof(aComplex)));
  if (z == nullptr) return nullptr;
  z->rp = *rp;
  z->ip = *ip;
  return z;
}

// Element arrays of rows * cols doubles from the innermost arena; null when
// the size overflows or no memory can be had.
double* allocate_doubles(std::size_t count);

}  // namespace Kex
