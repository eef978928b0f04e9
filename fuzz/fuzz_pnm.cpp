// Arbitrary bytes as a PGM, PBM or PPM file, read through the statistics
// library two ways: from the file, which the library maps, and from memory,
// which reaches it as a stream. Both must give the same status, size and
// samples; then every kind of read operation runs on the file.
#include <fcntl.h>

#include "image_input.h"
#include "io/fd.h"

namespace {

// The factory over the file or over the bytes in memory, and its colour
// planes; every picture that opens reads.
fuzz::Picture colour_planes(kexio::io::ByteReader in, const std::string& path) {
  fuzz::Picture p = fuzz::decode(std::move(in), path, kexio::PixelOp::kRgb, 7, INT64_MAX);
  if (p.opened && p.code != 0) fuzz::fail("a decoder that opened does not read");
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || data[0] != 'P') return 0;
  const std::string path = fuzz::put_file("input.pnm", data, size);
  kexio::io::Fd fd = kexio::io::open_with(path, O_RDONLY);
  if (!fd) fuzz::fail("cannot open " + path);
  if (!(colour_planes(kexio::io::ByteReader(data, size), path) ==
        colour_planes(kexio::io::ByteReader(std::move(fd)), path))) {
    fuzz::fail("the file and the bytes in memory disagree");
  }
  fuzz::read_file(data, size, "input.pnm",
                  {&Kex::IO::READ_IMAGE, &Kex::IO::READ_HLS, &Kex::IO::READ_HSV_SAT});
  return 0;
}
