// Feeds arbitrary bytes as a JPEG file to the decoder factory, from memory
// and through a pipe (the two data sources of the JPEG decoder), and, for
// pictures of modest size, to the image reading functions.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "image/decode/open_decoder.h"
#include "kexio/io.h"

namespace {

// Pixels up to which the reading functions run: larger pictures (a few
// bytes can state 65500 × 65500) would only measure the memory.
constexpr std::int64_t kMaxPixels = std::int64_t{1} << 18;
// What a pipe holds without a reader.
constexpr std::size_t kPipeBytes = 60000;

struct Scratch {
  std::string dir;
  std::string file;
  Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/kexio-fuzz-jpeg-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    file = dir + "/input.jpg";
  }
  ~Scratch() {
    std::remove(file.c_str());
    rmdir(dir.c_str());
  }
};

// The picture's size through the factory, or -1 when it refuses the bytes.
std::int64_t open_pixels(kexio::io::ByteReader in) {
  KexCallContext ctx;
  std::unique_ptr<kexio::Decoder> d;
  if (kexio::open_decoder(&ctx, d, std::move(in), "input.jpg") != 0) return -1;
  return std::int64_t{d->rows()} * d->cols();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::int64_t pixels = open_pixels(kexio::io::ByteReader(data, size));
  int fds[2];
  if (size <= kPipeBytes && pipe(fds) == 0) {
    if (size != 0 && write(fds[1], data, size) != static_cast<ssize_t>(size)) std::abort();
    close(fds[1]);
    if (open_pixels(kexio::io::ByteReader(kexio::io::Fd(fds[0]))) != pixels) std::abort();
  }
  if (pixels < 0 || pixels > kMaxPixels) return 0;

  static Scratch s;
  std::FILE* f = std::fopen(s.file.c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  const std::u16string cwd(s.dir.begin(), s.dir.end());
  const Cvd::Ref name = std::make_shared<Cvd::StrVal>(u"input.jpg");
  using Reader = Cvd::Ref (*)(const std::u16string&, const Cvd::Ref&);
  for (Reader read : {&Kex::IO::READ_IMAGE, &Kex::IO::READRGB, &Kex::IO::READ_BLUE,
                      &Kex::IO::READ_HLS, &Kex::IO::READ_HSV_SAT}) {
    try {
      read(cwd, name);
    } catch (const Kex::Exception&) {
      // Every failure must surface as a reported message.
    }
  }
  return 0;
}
