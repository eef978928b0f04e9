// The machine's memory as the libraries see it: its page size, how much of
// it there is, and large anonymous mappings in transparent huge pages.
#pragma once

#include <cstddef>
#include <cstdint>

// Hidden in every library that uses it, whatever its own visibility.
#pragma GCC visibility push(hidden)

namespace kexio::memory {

// The size of a page of this machine.
std::size_t page_size();

// The machine's physical memory in bytes; UINT64_MAX when the system cannot
// tell. No single buffer or result may exceed it.
std::uint64_t physical();

// A huge page, and the size from which a mapping is made of them.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
inline constexpr std::size_t kHugeFrom = kHugePage / 2;

// The bytes a mapping of n bytes takes: whole pages, and from kHugeFrom on
// whole huge pages, since a partial one at the end would be served in small
// pages whose first-touch faults can cost more than the rest of the array.
// 0 when that size does not fit in a size_t.
std::size_t mapping_size(std::size_t n);

// A fresh read-write anonymous mapping of mapping_size(n) bytes, zero-filled.
// One of huge pages starts at a huge-page boundary and asks the kernel for
// transparent huge pages, unless they proved slow to arrive on this machine
// (see memory.cpp). Null when the system refuses.
void* map(std::size_t n);

// Grows or shrinks a mapping of old_bytes (as map or remap made it) to
// mapping_size(n) bytes, moving it when needed; new bytes read as zeros.
// Null when the system refuses, the old mapping kept.
void* remap(void* p, std::size_t old_bytes, std::size_t n);

// Releases a mapping of bytes (as mapping_size gave them) at p.
void unmap(void* p, std::size_t bytes);

}  // namespace kexio::memory
#pragma GCC visibility pop
