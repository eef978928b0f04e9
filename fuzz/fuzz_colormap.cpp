// Fuzzes LoadColormap with arbitrary file contents. A colormap that loads is
// saved with SaveColormap and loaded again, which must give the same colours.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "host/loader.h"
#include "kexio/io.h"
#include "scratch.h"

namespace {

namespace fs = std::filesystem;

// Reports which property failed, then stops the run.
[[noreturn]] void fail(int line) {
  std::fprintf(stderr, "%s:%d: property failed\n", __FILE__, line);
  std::abort();
}

Cvd::Ref str(const std::string& s) {
  return std::make_shared<Cvd::StrVal>(std::u16string(s.begin(), s.end()));
}

// The files in the scratch folder, by the names the functions take.
struct Scratch {
  fs::path dir;
  std::string in_name;   // LoadColormap name of dir/in.cmp
  std::string out_name;  // LoadColormap name of dir/out.cmp
  std::string out_path;  // SaveColormap path of dir/out.cmp

  Scratch() : dir(fuzz::scratch()) {
    const fs::path cmaps = fs::canonical(fs::path(kexio::module_dir()) / "cmaps");
    in_name = fs::relative(dir / "in", cmaps).string();
    out_name = fs::relative(dir / "out", cmaps).string();
    out_path = (dir / "out.cmp").string();
  }
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

Cvd::MatVal* matrix(const Cvd::Ref& v) {
  auto* m = dynamic_cast<Cvd::MatVal*>(v.get());
  if (m == nullptr) fail(__LINE__);
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Scratch& s = scratch();
  fuzz::put_file("in.cmp", data, size);
  Cvd::Ref loaded;
  try {
    loaded = Kex::IO::LoadColormap(str(s.in_name));
  } catch (const Kex::Exception& e) {
    if (e.index() != 1 || e.message().empty()) fail(__LINE__);
    return 0;
  }
  Cvd::MatVal* m = matrix(loaded);
  if (m->get_Cols() != 3 || m->get_HasImag()) fail(__LINE__);
  for (std::size_t i = 0; i < m->size(); ++i) {
    double v = m->real()[i];
    if (!(v >= 0 && v <= 255) || v != static_cast<int>(v)) fail(__LINE__);
  }
  if (m->get_Rows() < 2) return 0;

  Cvd::Ref n = Kex::IO::SaveColormap(str(s.out_path), loaded);
  if (static_cast<Cvd::NumVal*>(n.get())->Data.rp != m->get_Rows()) fail(__LINE__);
  if (fs::file_size(s.out_path) != 22 + 4 * static_cast<std::uintmax_t>(m->get_Rows())) {
    fail(__LINE__);
  }
  const Cvd::Ref reloaded = Kex::IO::LoadColormap(str(s.out_name));
  Cvd::MatVal* back = matrix(reloaded);
  if (back->get_Rows() != m->get_Rows()) fail(__LINE__);
  for (std::size_t i = 0; i < m->size(); ++i) {
    if (back->real()[i] != m->real()[i]) fail(__LINE__);
  }
  return 0;
}
