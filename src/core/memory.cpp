#include "core/memory.h"

#include "core/parallel.h"

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

// On virtual machines whose host takes back the guest's free memory (free
// page reporting), the free blocks huge pages are made of are exactly the
// memory handed back, and each huge page then costs tens of milliseconds of
// host faults while it is zeroed: seconds for a large picture. Small pages
// come from fragments the host never took, and cost what they cost
// elsewhere.
//
// A huge page is zeroed in about 0.1 ms; one the host must supply first
// takes 20 ms or more; small pages cost about 1 ms in page faults for the
// same 2 MB. Huge pages are kept while, on average, they cost no more than
// small ones would, with room for a slow one among fast ones (a block the
// kernel had to assemble, say).
constexpr std::int64_t kSmallPagesNs = 1'000'000;
constexpr std::int64_t kSlowPagesNs = 30'000'000;

// Once huge pages proved slow, mappings made within the next second take
// small pages without trying: the host takes freed memory back within about
// a second, and memory freed since then is again fast to reuse.
constexpr std::int64_t kSmallPagesForNs = 1'000'000'000;
std::atomic<std::int64_t> small_pages_until{0};

// Huge pages below which a second thread is not worth starting: one is
// zeroed in about 0.1 ms, a thread started in about 0.05 ms.
constexpr std::size_t kPagesPerThread = 16;

std::int64_t now_ns() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// Touches every huge page of a fresh mapping in turn, each timed, on the
// cores free for it, until they prove slow. The kernel hands out the blocks
// the host still backs first (those a reader's scratch buffers or the
// previous process just gave back), so the slow ones come after them, at
// any point of a large mapping: trying only its first part let a 400 MB
// picture run into a hundred slow pages. The pages are ones the caller is
// about to fill, and filling them then takes no faults; writing a zero
// keeps a fresh mapping's zeros. True when the pages proved slow.
bool slow_to_fault(void* p, std::size_t bytes) {
  const std::size_t pages = bytes / kHugePage;
  const std::size_t threads =
      std::min<std::size_t>(free_cores(), (pages + kPagesPerThread - 1) / kPagesPerThread);
  std::atomic<bool> slow{false};
  std::atomic<std::int64_t> spent{0}, touched{0};
  run_all(threads, [&](std::size_t first) {
    for (std::size_t k = first; k < pages && !slow.load(std::memory_order_relaxed); k += threads) {
      const std::int64_t start = now_ns();
      static_cast<volatile std::uint8_t*>(p)[k * kHugePage] = 0;
      const std::int64_t took = now_ns() - start;
      const std::int64_t all = spent.fetch_add(took, std::memory_order_relaxed) + took;
      const std::int64_t n = touched.fetch_add(1, std::memory_order_relaxed) + 1;
      if (all > kSlowPagesNs + n * kSmallPagesNs) slow.store(true, std::memory_order_relaxed);
    }
  });
  return slow.load(std::memory_order_relaxed);
}

// Asks for huge pages, and in a fresh mapping (probe) tries them first.
void ask_for_huge_pages(void* p, std::size_t bytes, bool probe) {
  if (bytes < kHugeFrom || now_ns() < small_pages_until.load(std::memory_order_relaxed)) return;
  if (::madvise(p, bytes, MADV_HUGEPAGE) != 0 || !probe || !slow_to_fault(p, bytes)) return;
  small_pages_until.store(now_ns() + kSmallPagesForNs, std::memory_order_relaxed);
  // The whole mapping, not only the rest: flags over part of it would split
  // it in two, and a later mremap of the whole would fail. Pages already
  // faulted stay as they are.
  ::madvise(p, bytes, MADV_NOHUGEPAGE);
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
