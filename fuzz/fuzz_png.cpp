// Feeds arbitrary bytes as a PNG file to the decoder factory, and the same
// bytes with every chunk checksum made right to every image read operation,
// so that mutations reach the chunk and pixel decoding behind the checksums.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "image/decode/open_decoder.h"
#include "io/endian.h"
#include "kexio/io.h"

namespace {

// One scratch folder per process, removed at exit.
struct Scratch {
  std::string dir;
  std::string file;
  Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/kexio-fuzz-png-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    file = dir + "/input.png";
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

std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k)
      c = c & 1 ? 0xEDB88320 ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

// Rewrites the checksum of every whole chunk after the signature.
void fix_checksums(std::vector<std::uint8_t>& b) {
  std::size_t at = 8;
  while (at + 12 <= b.size()) {
    std::uint64_t length = kexio::io::be32(&b[at]);
    if (length > b.size() - at - 12) break;
    auto end = static_cast<std::size_t>(at + 8 + length);
    kexio::io::put_be32(&b[end], crc32(&b[at + 4], end - at - 4));
    at = end + 4;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Scratch& s = scratch();
  {
    // The factory straight from memory, checksums as they are.
    KexCallContext ctx;
    std::unique_ptr<kexio::Decoder> d;
    if (kexio::open_decoder(&ctx, d, kexio::io::ByteReader(data, size), s.file) == 0) {
      // Pictures larger than this are not read: the reading functions accept
      // results as large as the machine's memory, far beyond the fuzzer's
      // memory limit. Smaller ones are also decoded here, without a result.
      if (std::int64_t{d->rows()} * d->cols() > std::int64_t{1} << 18) return 0;
      (void)d->read_gray(&ctx, nullptr);
    }
  }

  std::vector<std::uint8_t> fixed(data, data + size);
  fix_checksums(fixed);
  std::FILE* f = std::fopen(s.file.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size != 0 && std::fwrite(fixed.data(), 1, size, f) != size) std::abort();
  std::fclose(f);
  const std::u16string cwd(s.dir.begin(), s.dir.end());
  const Cvd::Ref name = std::make_shared<Cvd::StrVal>(u"input.png");
  using Reader = Cvd::Ref (*)(const std::u16string&, const Cvd::Ref&);
  for (Reader read : {&Kex::IO::READ_IMAGE, &Kex::IO::READRGB, &Kex::IO::READ_GREEN,
                      &Kex::IO::READ_HLS, &Kex::IO::READ_HSV_HUE}) {
    try {
      read(cwd, name);
    } catch (const Kex::Exception&) {
      // Every failure must surface as a reported message.
    }
  }
  return 0;
}
