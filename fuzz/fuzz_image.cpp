// Feeds arbitrary bytes as an image file to the decoder factory and to every
// image read operation (grey, RGB, HLS, HSV, whole and single planes).
#include "image_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::read_image(data, size, "input.img");
  return 0;
}
