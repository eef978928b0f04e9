#include "io/mapping.h"

#include <sys/mman.h>

#include "core/memory.h"

namespace kexio::io {

Mapping::Mapping(int fd, std::uint64_t offset, std::size_t length, bool populate) {
  // Mappings start at a page boundary of this machine.
  const std::uint64_t page = memory::page_size();
  const std::uint64_t start = offset - offset % page;
  const std::size_t total = length + static_cast<std::size_t>(offset - start);
  if (total < length) return;
  void* p = ::mmap(nullptr, total, PROT_READ, MAP_PRIVATE | (populate ? MAP_POPULATE : 0), fd,
                   static_cast<off_t>(start));
  if (p == MAP_FAILED) return;
  m_base = p;
  m_length = total;
  m_data = static_cast<const std::uint8_t*>(p) + (offset - start);
}

Mapping::~Mapping() {
  if (m_base != nullptr) ::munmap(m_base, m_length);
}

}  // namespace kexio::io
