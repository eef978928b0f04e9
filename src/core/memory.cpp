#include "core/memory.h"

#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace kexio::memory {

namespace {

std::size_t round_up(std::size_t n, std::size_t unit) {
  return n > SIZE_MAX - (unit - 1) ? 0 : (n + unit - 1) / unit * unit;
}

// Set once a huge page of a fresh mapping took long to arrive: on virtual
// machines whose host takes back the guest's free memory (free page
// reporting), the free blocks huge pages are made of are exactly the memory
// handed back, and each huge page then costs tens of milliseconds of host
// faults while it is zeroed, seconds for a large picture. Small pages come
// from fragments the host never took and cost what they cost elsewhere.
std::atomic<bool> huge_pages_slow{false};

// A huge page is zeroed in about 0.1 ms; one the host must supply first
// takes 20 ms or more.
constexpr std::int64_t kSlowHugePageNs = 4'000'000;
constexpr std::size_t kProbes = 8;

std::int64_t now_ns() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// Asks for huge pages. In a fresh mapping (probe) the first few are touched
// to learn what they cost here; when one is slow, the rest (and every later
// mapping) is left to small pages. The kernel hands out the blocks the host
// still backs first, so fast ones (those a reader's scratch buffers just
// gave back, say) may come before the slow ones: a quarter of the pages, at
// least kProbes, are tried. They are pages the caller is about to fill; a
// quarter faulted ahead costs little of what the faults cost anyway.
// Writing a zero keeps a fresh mapping's zeros.
void ask_for_huge_pages(void* p, std::size_t bytes, bool probe) {
  if (bytes < kHugeFrom || huge_pages_slow.load(std::memory_order_relaxed)) return;
  if (::madvise(p, bytes, MADV_HUGEPAGE) != 0 || !probe) return;
  const std::size_t pages = bytes / kHugePage;
  const std::size_t probes = std::max(kProbes, pages / 4);
  for (std::size_t k = 0; k < probes && k + 1 < pages; ++k) {
    const std::int64_t start = now_ns();
    static_cast<volatile std::uint8_t*>(p)[k * kHugePage] = 0;
    if (now_ns() - start < kSlowHugePageNs) continue;
    huge_pages_slow.store(true, std::memory_order_relaxed);
    // The whole mapping, not only the rest: flags over part of it would
    // split it in two, and a later mremap of the whole would fail. Pages
    // already faulted stay as they are.
    ::madvise(p, bytes, MADV_NOHUGEPAGE);
    return;
  }
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
  ask_for_huge_pages(reinterpret_cast<void*>(aligned), bytes, true);
  return reinterpret_cast<void*>(aligned);
}

void* remap(void* p, std::size_t old_bytes, std::size_t n) {
  const std::size_t bytes = mapping_size(n);
  if (bytes == 0) return nullptr;
  void* q = ::mremap(p, old_bytes, bytes, MREMAP_MAYMOVE);
  if (q == MAP_FAILED) return nullptr;
  ask_for_huge_pages(q, bytes, false);
  return q;
}

void unmap(void* p, std::size_t bytes) {
  if (p != nullptr) ::munmap(p, bytes);
}

}  // namespace kexio::memory
