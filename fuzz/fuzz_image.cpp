// Feeds arbitrary bytes as an image file to the decoder factory and to every
// image read operation (grey, RGB, HLS, HSV, whole and single planes).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "image/decode/open_decoder.h"
#include "kexio/io.h"

namespace {

// One scratch folder per process, removed at exit.
struct Scratch {
  std::string dir;
  std::string file;
  Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/kexio-fuzz-image-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    file = dir + "/input.img";
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

// Pictures larger than this are not read: the reading functions accept
// results as large as the machine's memory, far beyond the fuzzer's memory
// limit (a run-length file of a few bytes may be millions of pixels wide).
constexpr std::int64_t kMaxPixels = std::int64_t{1} << 18;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Scratch& s = scratch();
  std::FILE* f = std::fopen(s.file.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  {
    // The factory straight from memory, through the same byte reader that
    // reads files.
    KexCallContext ctx;
    std::unique_ptr<kexio::Decoder> d;
    if (kexio::open_decoder(&ctx, d, kexio::io::ByteReader(data, size), s.file) == 0 &&
        std::int64_t{d->rows()} * d->cols() > kMaxPixels) {
      return 0;
    }
  }

  const std::u16string cwd(s.dir.begin(), s.dir.end());
  const Cvd::Ref name = std::make_shared<Cvd::StrVal>(u"input.img");
  using Reader = Cvd::Ref (*)(const std::u16string&, const Cvd::Ref&);
  for (Reader read :
       {&Kex::IO::READ_IMAGE, &Kex::IO::READRGB, &Kex::IO::READ_GREEN, &Kex::IO::READ_HLS,
        &Kex::IO::READ_HLS_SAT, &Kex::IO::READ_HSV, &Kex::IO::READ_HSV_HUE}) {
    try {
      read(cwd, name);
    } catch (const Kex::Exception&) {
      // Every failure must surface as a reported message.
    }
  }
  return 0;
}
