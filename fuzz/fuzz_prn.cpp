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
#include "scratch.h"

namespace {

// The outcome of reading in.txt as a table: the error, or the shape and the
// bytes of the values.
std::string outcome(kexio::prn::Split split) {
  try {
    Cvd::Ref v = kexio::prn::read_prn("in.txt", fuzz::scratch().c_str(), split);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::put_file("in.txt", data, size);
  const std::u16string cwd = Vrt::RawBytesToString(fuzz::scratch());
  std::string whole = outcome({1, SIZE_MAX});
  for (unsigned parts = 2; parts <= 4; ++parts) {
    if (outcome({parts, 1}) != whole) std::abort();
  }
  try {
    Cvd::Ref m = Kex::IO::READPRN(cwd, fuzz::text("in.txt"));
    // Precision and width from the input, within their accepted ranges.
    int precision = 1 + (size != 0 ? data[0] % 16 : 0);
    int width = 1 + (size > 1 ? data[1] % 40 : 0);
    Kex::IO::WRITEPRN(cwd, precision, width, fuzz::text("out.txt"), m);
    Kex::IO::READPRN(cwd, fuzz::text("out.txt"));
  } catch (const Kex::Exception&) {
    // Refusing malformed input is the reader's job.
  }
  return 0;
}
