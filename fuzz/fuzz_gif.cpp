// Feeds arbitrary bytes as a GIF file to the decoder factory, straight from
// memory, and to each of the four read operations with some planes left out;
// pictures small enough are also read through the entry class from a file.
#include "image_input.h"

namespace {

// Larger pictures are opened but not read, to keep every run short.
constexpr std::int64_t kMaxPixels = std::int64_t{1} << 15;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kexio::PixelOp;
  // Each operation with the planes it is given (bits 1, 2, 4).
  constexpr struct {
    PixelOp op;
    int planes;
  } kReads[] = {{PixelOp::kGray, 1}, {PixelOp::kRgb, 5}, {PixelOp::kHls, 7}, {PixelOp::kHsv, 2}};
  fuzz::Picture p;
  for (const auto& r : kReads)
    p = fuzz::decode(kexio::io::ByteReader(data, size), "input.gif", r.op, r.planes, kMaxPixels);
  if (p.rows < 0 || p.cols < 0) fuzz::fail("a negative size opened");
  if (!p.opened || p.rows * p.cols > kMaxPixels) return 0;
  fuzz::read_file(data, size, "input.gif", {&Kex::IO::READRGB});
  return 0;
}
