// Feeds arbitrary bytes as a GIF file to the decoder factory, straight from
// memory, and to each of the four read operations with some planes left out;
// pictures small enough are also read through the entry class from a file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "image/decode/open_decoder.h"
#include "kexio/io.h"

namespace {

// Larger pictures are opened but not read, to keep every run short.
constexpr std::int64_t kMaxPixels = std::int64_t{1} << 15;

// One scratch folder per process, removed at exit.
struct Scratch {
  std::string dir;
  std::string file;
  Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/kexio-fuzz-gif-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    file = dir + "/input.gif";
  }
  ~Scratch() {
    std::remove(file.c_str());
    rmdir(dir.c_str());
  }
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

// Opens a decoder over the bytes and runs read operation op on it; the
// number of pixels, or -1 when the factory refused the bytes.
std::int64_t read_once(const std::uint8_t* data, std::size_t size, int op) {
  KexCallContext ctx;
  std::unique_ptr<kexio::Decoder> d;
  if (kexio::open_decoder(&ctx, d, kexio::io::ByteReader(data, size), "input.gif") != 0) return -1;
  const std::int64_t rows = d->rows(), cols = d->cols();
  if (rows < 0 || cols < 0) std::abort();
  const std::int64_t pixels = rows * cols;
  if (pixels > kMaxPixels) return pixels;
  std::vector<double> values(static_cast<std::size_t>(3 * pixels));
  std::vector<double*> columns(static_cast<std::size_t>(3 * cols) + 1);
  for (std::int64_t c = 0; c < 3 * cols; ++c)
    columns[static_cast<std::size_t>(c)] = values.data() + c * rows;
  double* const* a = pixels > 0 ? columns.data() : nullptr;
  double* const* b = a != nullptr ? a + cols : nullptr;
  double* const* c = a != nullptr ? a + 2 * cols : nullptr;
  int r = 0;
  switch (op) {
    case 0:
      r = d->read_gray(&ctx, a);
      break;
    case 1:
      r = d->read_rgb(&ctx, a, nullptr, c);
      break;
    case 2:
      r = d->read_hls(&ctx, a, b, c);
      break;
    default:
      r = d->read_hsv(&ctx, nullptr, b, nullptr);
      break;
  }
  if (r == 0) (void)d->end();
  return pixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::int64_t pixels = -1;
  for (int op = 0; op < 4; ++op)
    pixels = read_once(data, size, op);
  if (pixels < 0 || pixels > kMaxPixels) return 0;

  Scratch& s = scratch();
  std::FILE* f = std::fopen(s.file.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  const std::u16string cwd(s.dir.begin(), s.dir.end());
  const Cvd::Ref name = std::make_shared<Cvd::StrVal>(u"input.gif");
  try {
    Kex::IO::READRGB(cwd, name);
  } catch (const Kex::Exception&) {
    // Every failure must surface as a reported message.
  }
  return 0;
}
