// PCX files: every input is given the PCX first byte, so that it reaches the
// PCX decoder whatever the fuzzer puts there.
#include <vector>

#include "image_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> b(data, data + size);
  if (!b.empty()) b[0] = 0x0A;
  fuzz::read_image(b.data(), b.size(), "input.pcx");
  return 0;
}
