// A run of bytes of an open regular file, mapped into memory read-only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kexio::io {

class Mapping {
 public:
  // The bytes offset .. offset + length - 1 of the regular file open as fd,
  // or nothing (data() null) when the system will not map them. With
  // populate the kernel reads them all in before the constructor returns,
  // which suits a caller that goes through every byte at once.
  Mapping(int fd, std::uint64_t offset, std::size_t length, bool populate);
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  const std::uint8_t* data() const { return m_data; }

 private:
  void* m_base = nullptr;
  const std::uint8_t* m_data = nullptr;
  std::size_t m_length = 0;
};

}  // namespace kexio::io
