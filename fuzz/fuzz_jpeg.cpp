// Feeds arbitrary bytes, given the first bytes of a JPEG file, to the
// decoder factory and its RGB reading, from memory and through a pipe (the
// two data sources of the JPEG decoder, which must agree), and, for pictures
// of modest size, to the image reading functions.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "image_input.h"

namespace {

// Pixels up to which the reading functions run: larger pictures (a few
// bytes can state 65500 × 65500) would only measure the memory.
constexpr std::int64_t kMaxPixels = std::int64_t{1} << 18;
// What a pipe holds without a reader.
constexpr std::size_t kPipeBytes = 60000;

// What the factory and read_rgb make of a file: the code, the size, and the
// red, green and blue planes of a picture of modest size.
struct Picture {
  int code = 0;
  std::int64_t rows = 0, cols = 0;
  std::vector<double> values;
  bool operator==(const Picture&) const = default;
};

Picture decode(kexio::io::ByteReader in) {
  Picture p;
  KexCallContext ctx;
  std::unique_ptr<kexio::Decoder> d;
  p.code = kexio::open_decoder(&ctx, d, std::move(in), "input.jpg");
  if (p.code != 0) return p;
  p.rows = d->rows();
  p.cols = d->cols();
  if (p.rows * p.cols > kMaxPixels) return p;
  p.values.resize(static_cast<std::size_t>(3 * p.rows * p.cols));
  std::vector<double*> columns(static_cast<std::size_t>(3 * p.cols));
  for (std::size_t c = 0; c < columns.size(); ++c)
    columns[c] = p.values.data() + c * static_cast<std::size_t>(p.rows);
  double** planes = columns.data();
  p.code = d->read_rgb(&ctx, planes, planes + p.cols, planes + 2 * p.cols);
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* raw, std::size_t size) {
  // Every input starts as a JPEG does, so that it reaches the JPEG decoder
  // (other decoders may read a pipe differently from a file).
  std::vector<std::uint8_t> bytes(raw, raw + size);
  for (std::size_t i = 0; i < std::min<std::size_t>(size, 3); ++i)
    bytes[i] = "\xFF\xD8\xFF"[i];
  const std::uint8_t* data = bytes.data();
  // The mapped file's source and the pipe's must agree on every input.
  const Picture from_memory = decode(kexio::io::ByteReader(data, size));
  int fds[2];
  if (size <= kPipeBytes && pipe(fds) == 0) {
    if (size != 0 && write(fds[1], data, size) != static_cast<ssize_t>(size)) std::abort();
    close(fds[1]);
    if (!(decode(kexio::io::ByteReader(kexio::io::Fd(fds[0]))) == from_memory)) std::abort();
  }
  if (from_memory.code != 0 || from_memory.rows * from_memory.cols > kMaxPixels) return 0;

  fuzz_input::read_image(data, size, "input.jpg");
  return 0;
}
