// Little- and big-endian integers at a byte address, read and written the
// same way on every host, and byte swapping of whole elements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Hidden in every library that uses it, whatever its own visibility.
#pragma GCC visibility push(hidden)

namespace kexio::io {

inline std::uint16_t le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint16_t be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

inline void put_le16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_le32(std::uint8_t* p, std::uint32_t v) {
  put_le16(p, v);
  put_le16(p + 2, v >> 16);
}
inline void put_be16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void put_be32(std::uint8_t* p, std::uint32_t v) {
  put_be16(p, v >> 16);
  put_be16(p + 2, v);
}

// The bytes of v in the other order; U is an unsigned integer of 1, 2, 4 or
// 8 bytes.
template <typename U>
constexpr U byteswap(U v) {
  if constexpr (sizeof(U) == 2) {
    return static_cast<U>(__builtin_bswap16(v));
  } else if constexpr (sizeof(U) == 4) {
    return static_cast<U>(__builtin_bswap32(v));
  } else if constexpr (sizeof(U) == 8) {
    return static_cast<U>(__builtin_bswap64(v));
  } else {
    return v;
  }
}

// The unsigned integer of the same size as T, for handling T's bytes.
template <typename T>
using bits_of = std::conditional_t<
    sizeof(T) == 1, std::uint8_t,
    std::conditional_t<sizeof(T) == 2, std::uint16_t,
                       std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;

// Reverses the bytes of every element of size bytes (1, 2, 4 or 8) among the
// n bytes at p.
template <std::size_t Size>
inline void swap_each(std::uint8_t* p, std::size_t n) {
  using U = bits_of<std::uint8_t[Size]>;
  for (std::size_t i = 0; i + Size <= n; i += Size) {
    U v;
    std::memcpy(&v, p + i, Size);
    v = byteswap(v);
    std::memcpy(p + i, &v, Size);
  }
}
inline void swap_elements(std::uint8_t* p, std::size_t n, std::size_t size) {
  switch (size) {
    case 2:
      return swap_each<2>(p, n);
    case 4:
      return swap_each<4>(p, n);
    case 8:
      return swap_each<8>(p, n);
    default:
      return;
  }
}

}  // namespace kexio::io
#pragma GCC visibility pop
