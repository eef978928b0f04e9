// TGA files: header fields that would fail the decoder's header test are
// moved onto values that pass it, and first bytes that another format claims
// are changed, so that every input reaches the TGA decoder.
#include <cstring>
#include <vector>

#include "image/decode/tga_decoder.h"
#include "image_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kexio::TgaHeader;
  std::vector<std::uint8_t> b(data, data + size);
  if (b.size() >= TgaHeader::kSize) {
    constexpr std::size_t kTypes = std::size(TgaHeader::kTypes);
    constexpr std::size_t kDepths = std::size(TgaHeader::kDepths);
    if (std::strchr("\nBGIMP", b[0]) != nullptr && b[0] != 0) b[0] ^= 0x80;
    if (b[1] > 1) b[1] &= 1;
    if (std::memchr(TgaHeader::kTypes, b[2], kTypes) == nullptr)
      b[2] = TgaHeader::kTypes[b[2] % kTypes];
    if (std::memchr(TgaHeader::kDepths, b[16], kDepths) == nullptr) {
      b[16] = TgaHeader::kDepths[b[16] % kDepths];
    }
    if (std::memcmp(&b[6], "JFIF", 4) == 0) b[6] ^= 1;
    if (!TgaHeader::parse(b.data()).plausible()) fuzz::fail("a repaired header is refused");
  }
  fuzz::read_image(b.data(), b.size(), "input.tga");
  return 0;
}
