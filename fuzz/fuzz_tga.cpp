// TGA files: header fields that would fail the factory's TGA test are moved
// onto values that pass it, and first bytes that another format claims are
// changed, so that every input reaches the TGA decoder.
#include <cstring>
#include <vector>

#include "image_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> b(data, data + size);
  if (b.size() >= 18) {
    static const std::uint8_t kTypes[] = {1, 2, 3, 9, 10, 11};
    static const std::uint8_t kDepths[] = {1, 8, 16, 24, 32};
    if (std::strchr("\nBGIMP", b[0]) != nullptr && b[0] != 0) b[0] ^= 0x80;
    if (b[1] > 1) b[1] &= 1;
    if (std::memchr(kTypes, b[2], sizeof kTypes) == nullptr) b[2] = kTypes[b[2] % 6];
    if (std::memchr(kDepths, b[16], sizeof kDepths) == nullptr) b[16] = kDepths[b[16] % 5];
    if (std::memcmp(&b[6], "JFIF", 4) == 0) b[6] ^= 1;
  }
  fuzz_input::read_image(b.data(), b.size(), "input.tga");
  return 0;
}
