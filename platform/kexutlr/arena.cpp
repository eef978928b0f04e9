// Out-of-line parts of the per-call arena.
//
// Every block the arena owns starts with a BlockHead, followed by the link
// that chains it into m_blocks, followed by the usable bytes. Small blocks
// come from malloc; large element arrays come from anonymous mappings that
// ask the kernel for transparent huge pages, since first-touch page faults on
// small pages otherwise cost as much as reading the data. A large array can
// be detached from the arena and handed to a host value.
#include <cstdint>
#include <cstdlib>
#include <new>

#include "core/memory.h"

#include "kexio/host/context.h"
#include "kexio/host/detach.h"

constinit thread_local IcvAllocator* IcvAllocator::m_current = nullptr;
constinit thread_local std::int32_t IcvAllocator::m_NextHandle = 1;
constinit thread_local std::int32_t IcvAllocator::m_init_handle = 1;

namespace {

enum : std::uint32_t { kHeap = 0x4B485031u, kMapped = 0x4B4D4150u };

struct alignas(16) BlockHead {
  std::size_t bytes;   // whole block, head included
  std::uint32_t kind;  // kHeap or kMapped
  std::uint32_t unused;
};
static_assert(sizeof(BlockHead) == 16);

constexpr std::size_t kLinkSpace = 16;  // the link, padded to keep data 16-aligned
constexpr std::size_t kDataOffset = sizeof(BlockHead) + kLinkSpace;
constexpr std::size_t kMappedThreshold = kexio::memory::kHugeFrom;
constexpr std::size_t kMinHeapBlock = 4096;

BlockHead* head_of(IcvAllocator::link* l) {
  return reinterpret_cast<BlockHead*>(reinterpret_cast<unsigned char*>(l) - sizeof(BlockHead));
}
unsigned char* data_of(BlockHead* h) {
  return reinterpret_cast<unsigned char*>(h) + kDataOffset;
}
IcvAllocator::link* link_of(BlockHead* h) {
  return reinterpret_cast<IcvAllocator::link*>(reinterpret_cast<unsigned char*>(h) +
                                               sizeof(BlockHead));
}

void free_block(BlockHead* h) {
  if (h->kind == kMapped) {
    kexio::memory::unmap(h, h->bytes);
  } else {
    std::free(h);
  }
}

BlockHead* heap_block(std::size_t usable) {
  if (usable > SIZE_MAX - kDataOffset) return nullptr;
  std::size_t bytes = kDataOffset + usable;
  auto* h = static_cast<BlockHead*>(std::malloc(bytes));
  if (h == nullptr) return nullptr;
  h->bytes = bytes;
  h->kind = kHeap;
  return h;
}

// A mapping of at least usable bytes after the head, in huge pages.
BlockHead* mapped_block(std::size_t usable) {
  if (usable > SIZE_MAX / 2) return nullptr;
  void* p = kexio::memory::map(kDataOffset + usable);
  if (p == nullptr) return nullptr;
  auto* h = static_cast<BlockHead*>(p);
  h->bytes = kexio::memory::mapping_size(kDataOffset + usable);
  h->kind = kMapped;
  return h;
}

void push(IcvAllocator* a, BlockHead* h) {
  IcvAllocator::link* l = link_of(h);
  l->next = a->m_blocks;
  a->m_blocks = l;
}

}  // namespace

void IcvAllocator::link::operator delete(void* p) noexcept {
  if (p != nullptr) free_block(head_of(static_cast<link*>(p)));
}

void IcvAllocator::NewBuf(std::size_t n) {
  std::size_t usable = n < kMinHeapBlock - kDataOffset ? kMinHeapBlock - kDataOffset : n;
  BlockHead* h = heap_block(usable);
  if (h == nullptr) {
    m_top = nullptr;
    return;
  }
  push(this, h);
  m_limit = data_of(h);
  m_top = m_limit + (usable - n);
}

void* IcvAllocator::allocate_array(std::size_t bytes) {
  if (bytes == 0) bytes = 16;
  BlockHead* h = bytes >= kMappedThreshold ? mapped_block(bytes) : heap_block(bytes);
  if (h == nullptr) return nullptr;
  push(this, h);
  return data_of(h);
}

namespace Kex {

double* allocate_doubles(std::size_t count) {
  if (IcvAllocator::m_current == nullptr || count > SIZE_MAX / sizeof(double)) return nullptr;
  return static_cast<double*>(IcvAllocator::m_current->allocate_array(count * sizeof(double)));
}

void* detach_array(IcvAllocator* arena, const void* data) {
  if (arena == nullptr || data == nullptr) return nullptr;
  for (IcvAllocator::link** pl = &arena->m_blocks; *pl != nullptr; pl = &(*pl)->next) {
    BlockHead* h = head_of(*pl);
    if (data_of(h) == data) {
      if (h->kind != kMapped) return nullptr;
      *pl = (*pl)->next;
      return h;
    }
  }
  return nullptr;
}

void free_detached(void* block) {
  if (block != nullptr) free_block(static_cast<BlockHead*>(block));
}

}  // namespace Kex
