// Arbitrary bytes as a PGM, PBM or PPM file, read through the statistics
// library two ways: from the file, which the library maps, and from memory,
// which reaches it as a stream. Both must give the same status, size and
// samples; then every kind of read operation runs on the file.
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

// One scratch folder per process, removed at exit.
struct Scratch {
  std::string dir;
  std::string file;
  Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/kexio-fuzz-pnm-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    file = dir + "/input.pnm";
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

// The three colour planes of a decoder, or nothing when it cannot be read.
std::vector<double> planes(kexio::Decoder& d) {
  const std::size_t rows = static_cast<std::size_t>(d.rows());
  const std::size_t cols = static_cast<std::size_t>(d.cols());
  std::vector<double> values(3 * rows * cols);
  std::vector<double*> columns(3 * cols);
  for (std::size_t c = 0; c < 3 * cols; ++c)
    columns[c] = values.data() + c * rows;
  if (d.read_rgb(nullptr, columns.data(), columns.data() + cols, columns.data() + 2 * cols) != 0) {
    std::abort();  // a decoder that opened reads its samples
  }
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || data[0] != 'P') return 0;
  Scratch& s = scratch();
  std::FILE* f = std::fopen(s.file.c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();

  {
    KexCallContext ctx;
    std::unique_ptr<kexio::Decoder> from_memory, from_file;
    const int a = kexio::open_decoder(&ctx, from_memory, kexio::io::ByteReader(data, size), s.file);
    const int b = kexio::open_decoder(&ctx, from_file, s.file.c_str());
    if (a != b) std::abort();
    if (a == 0) {
      if (from_memory->rows() != from_file->rows() || from_memory->cols() != from_file->cols()) {
        std::abort();
      }
      if (planes(*from_memory) != planes(*from_file)) std::abort();
    }
  }

  const std::u16string cwd(s.dir.begin(), s.dir.end());
  const Cvd::Ref name = std::make_shared<Cvd::StrVal>(u"input.pnm");
  using Reader = Cvd::Ref (*)(const std::u16string&, const Cvd::Ref&);
  for (Reader read : {&Kex::IO::READ_IMAGE, &Kex::IO::READ_HLS, &Kex::IO::READ_HSV_SAT}) {
    try {
      read(cwd, name);
    } catch (const Kex::Exception&) {
      // Every failure must surface as a reported message.
    }
  }
  return 0;
}
