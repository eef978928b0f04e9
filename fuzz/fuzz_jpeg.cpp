// Feeds arbitrary bytes, given the first bytes of a JPEG file, to the
// decoder factory and its RGB reading, from memory and through a pipe (the
// two data sources of the JPEG decoder, which must agree), and, for pictures
// of modest size, to the image reading functions.
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "image_input.h"

namespace {

// What a pipe holds without a reader.
constexpr std::size_t kPipeBytes = 60000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* raw, std::size_t size) {
  // Every input starts as a JPEG does, so that it reaches the JPEG decoder
  // (other decoders may read a pipe differently from a file).
  std::vector<std::uint8_t> bytes(raw, raw + size);
  for (std::size_t i = 0; i < std::min<std::size_t>(size, 3); ++i)
    bytes[i] = "\xFF\xD8\xFF"[i];
  const std::uint8_t* data = bytes.data();
  // The mapped file's source and the pipe's must agree on every input.
  const auto rgb = kexio::PixelOp::kRgb;
  const fuzz::Picture from_memory =
      fuzz::decode(kexio::io::ByteReader(data, size), "input.jpg", rgb);
  int fds[2];
  if (size <= kPipeBytes && pipe(fds) == 0) {
    if (size != 0 && write(fds[1], data, size) != static_cast<ssize_t>(size)) std::abort();
    close(fds[1]);
    if (!(fuzz::decode(kexio::io::ByteReader(kexio::io::Fd(fds[0])), "input.jpg", rgb) ==
          from_memory)) {
      fuzz::fail("the pipe and the mapped file disagree");
    }
  }
  if (from_memory.code != 0 || from_memory.rows * from_memory.cols > fuzz::kMaxPixels) return 0;

  fuzz::read_image(data, size, "input.jpg");
  return 0;
}
