// Fuzz target of the text-table reader: each input is written to a file and
// read with READPRN (plain tables and nested-matrix files alike). The file is
// also read divided among threads at every size of part, which must give
// what one reading gives, value for value, or the same error. What reads
// successfully is written again with WRITEPRN and read back, which drives the
// writer and the nested format over whatever structure the reader built.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kexio/io.h"
#include "prn/prn.h"

namespace {

// A temporary folder for the process, holding the input file and the file
// written back; removed at exit. Plain storage, so that it outlives the
// destructors of other statics.
char g_folder[4096];

void remove_folder() {
  for (const char* file : {"/in.txt", "/out.txt"}) {
    unlink((std::string(g_folder) + file).c_str());
  }
  rmdir(g_folder);
}

const char* folder() {
  if (g_folder[0] == 0) {
    const char* base = std::getenv("TMPDIR");
    std::snprintf(g_folder, sizeof g_folder, "%s/kexio-fuzz-prn-XXXXXX",
                  base != nullptr && *base != 0 ? base : "/tmp");
    if (mkdtemp(g_folder) == nullptr) std::abort();
    std::atexit(remove_folder);
  }
  return g_folder;
}

// The outcome of reading in.txt as a table: the error, or the shape and the
// bytes of the values.
std::string outcome(kexio::prn::Split split) {
  try {
    Cvd::Ref v = kexio::prn::read_prn("in.txt", folder(), split);
    const auto* m = dynamic_cast<const Cvd::MatVal*>(v.get());
    if (m == nullptr) return "no matrix";
    std::string out = std::to_string(m->get_Rows()) + "x" + std::to_string(m->get_Cols());
    if (m->m_iarr == nullptr && (m->m_parr == nullptr || m->m_parr->empty())) {
      out.append(reinterpret_cast<const char*>(m->real()), m->size() * sizeof(double));
    }
    return out;
  } catch (const Kex::Exception& e) {
    return "error " + std::string(e.message()) + " " + std::to_string(e.index());
  }
}

Cvd::Ref name(const std::string& s) {
  return std::make_shared<Cvd::StrVal>(Vrt::RawBytesToString(s));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string in = std::string(folder()) + "/in.txt";
  FILE* f = std::fopen(in.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  const std::u16string cwd = Vrt::RawBytesToString(folder());
  std::string whole = outcome({1, SIZE_MAX});
  for (unsigned parts = 2; parts <= 4; ++parts) {
    if (outcome({parts, 1}) != whole) std::abort();
  }
  try {
    Cvd::Ref m = Kex::IO::READPRN(cwd, name("in.txt"));
    // Precision and width from the input, within their accepted ranges.
    int precision = 1 + (size != 0 ? data[0] % 16 : 0);
    int width = 1 + (size > 1 ? data[1] % 40 : 0);
    Kex::IO::WRITEPRN(cwd, precision, width, name("out.txt"), m);
    Kex::IO::READPRN(cwd, name("out.txt"));
  } catch (const Kex::Exception&) {
    // Refusing malformed input is the reader's job.
  }
  return 0;
}
