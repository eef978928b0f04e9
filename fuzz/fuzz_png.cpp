// PNG files: the bytes as they are go to the decoder factory from memory;
// the same bytes with every chunk checksum made right go through every image
// read operation, so that mutations get past the checksums into chunk and
// pixel decoding.
#include <vector>

#include "image_input.h"
#include "io/endian.h"

namespace {

std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k)
      c = c & 1 ? 0xEDB88320 ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

// Rewrites the checksum of every whole chunk after the signature.
void fix_checksums(std::vector<std::uint8_t>& b) {
  std::size_t at = 8;
  while (at + 12 <= b.size()) {
    std::uint64_t length = kexio::io::be32(&b[at]);
    if (length > b.size() - at - 12) break;
    auto end = static_cast<std::size_t>(at + 8 + length);
    kexio::io::put_be32(&b[end], crc32(&b[at + 4], end - at - 4));
    at = end + 4;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> fixed(data, data + size);
  fix_checksums(fixed);
  // Damaged checksums and all, decoded into one plane.
  fuzz::decode(kexio::io::ByteReader(data, size), "input.png", kexio::PixelOp::kGray, 1);
  fuzz::read_image(fixed.data(), fixed.size(), "input.png");
  return 0;
}
