// One fuzz input as an image file: the decoder factory straight from memory,
// through the same byte reader that reads files, then every kind of image
// read operation (grey, RGB, HLS, HSV, whole and single planes) on a copy of
// the input in a scratch folder.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "image/decode/open_decoder.h"
#include "kexio/io.h"

namespace fuzz_input {

// One scratch folder per process, removed at exit.
class Scratch {
 public:
  explicit Scratch(const char* name) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/kexio-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    m_dir = pattern;
    m_file = m_dir + "/" + name;
  }
  ~Scratch() {
    std::remove(m_file.c_str());
    rmdir(m_dir.c_str());
  }
  const std::string& dir() const { return m_dir; }
  const std::string& file() const { return m_file; }

 private:
  std::string m_dir, m_file;
};

inline void read_image(const std::uint8_t* data, std::size_t size, const char* name) {
  static Scratch s(name);
  {
    KexCallContext ctx;
    std::unique_ptr<kexio::Decoder> d;
    if (kexio::open_decoder(&ctx, d, kexio::io::ByteReader(data, size), s.file()) == 0) {
      (void)d->rows();
      (void)d->cols();
    }
  }
  std::FILE* f = std::fopen(s.file().c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  const std::u16string cwd(s.dir().begin(), s.dir().end());
  const std::string n = name;
  const Cvd::Ref file = std::make_shared<Cvd::StrVal>(std::u16string(n.begin(), n.end()));
  using Reader = Cvd::Ref (*)(const std::u16string&, const Cvd::Ref&);
  for (Reader read :
       {&Kex::IO::READ_IMAGE, &Kex::IO::READRGB, &Kex::IO::READ_GREEN, &Kex::IO::READ_HLS,
        &Kex::IO::READ_HLS_SAT, &Kex::IO::READ_HSV, &Kex::IO::READ_HSV_HUE}) {
    try {
      read(cwd, file);
    } catch (const Kex::Exception&) {
      // Every failure must surface as a reported message.
    }
  }
}

}  // namespace fuzz_input
