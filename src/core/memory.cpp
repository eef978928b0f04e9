#include "core/memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace kexio::memory {

namespace {

std::size_t round_up(std::size_t n, std::size_t unit) {
  return n > SIZE_MAX - (unit - 1) ? 0 : (n + unit - 1) / unit * unit;
}

void ask_for_huge_pages(void* p, std::size_t bytes) {
  if (bytes >= kHugeFrom) ::madvise(p, bytes, MADV_HUGEPAGE);
}

}  // namespace

std::size_t page_size() {
  static const std::size_t page = [] {
    const long n = ::sysconf(_SC_PAGESIZE);
    return n > 0 ? static_cast<std::size_t>(n) : std::size_t{4096};
  }();
  return page;
}

std::uint64_t physical() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

std::size_t mapping_size(std::size_t n) {
  const std::size_t bytes = round_up(n, page_size());
  return bytes >= kHugeFrom ? round_up(bytes, kHugePage) : bytes;
}

void* map(std::size_t n) {
  const std::size_t bytes = mapping_size(n);
  if (bytes == 0) return nullptr;
  // Huge pages: a huge page more is reserved, so that a boundary lies
  // inside, and what lies before and after it is given back.
  const std::size_t reserve = bytes >= kHugeFrom ? bytes + kHugePage : bytes;
  if (reserve < bytes) return nullptr;
  void* p = ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (reserve == bytes) return p;
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
  if (aligned > start) ::munmap(p, aligned - start);
  const std::uintptr_t end = aligned + bytes, reserved_end = start + reserve;
  if (reserved_end > end) ::munmap(reinterpret_cast<void*>(end), reserved_end - end);
  ask_for_huge_pages(reinterpret_cast<void*>(aligned), bytes);
  return reinterpret_cast<void*>(aligned);
}

void* remap(void* p, std::size_t old_bytes, std::size_t n) {
  const std::size_t bytes = mapping_size(n);
  if (bytes == 0) return nullptr;
  void* q = ::mremap(p, old_bytes, bytes, MREMAP_MAYMOVE);
  if (q == MAP_FAILED) return nullptr;
  ask_for_huge_pages(q, bytes);
  return q;
}

void unmap(void* p, std::size_t bytes) {
  if (p != nullptr) ::munmap(p, bytes);
}

}  // namespace kexio::memory
