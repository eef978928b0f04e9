// Fuzzes csketchfile_cvs with arbitrary file contents and compares the
// points with a reading of the same text built on strtod.
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kexio/io.h"
#include "scratch.h"

namespace {

namespace fs = std::filesystem;

// Reports which property failed, then stops the run.
[[noreturn]] void fail(int line) {
  std::fprintf(stderr, "%s:%d: property failed\n", __FILE__, line);
  std::abort();
}

// The input file, by the name the function takes.
const Cvd::Ref& input_name() {
  static const Cvd::Ref name = fuzz::text(fuzz::scratch_path("pts.txt"));
  return name;
}

bool is_gap(char c) {
  return c != 0 && std::strchr(" \t\n\v\f\r,:;()/", c) != nullptr;
}

double capped(double v) {
  return v > 1e10 ? 1e10 : v;
}

// The expected points: numbers as strtod reads them, separated by white
// space and separators, two at a time, at most 16003 pairs.
std::vector<double> expected(const std::string& text) {
  std::vector<double> xy;
  const char* p = text.c_str();
  while (xy.size() < 2 * 16003) {
    while (is_gap(*p))
      ++p;
    char* end = nullptr;
    double v = std::strtod(p, &end);
    if (end == p) break;
    xy.push_back(capped(v));
    p = end;
  }
  if (xy.size() % 2 != 0) xy.pop_back();
  return xy;
}

bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::put_file("pts.txt", data, size);
  std::vector<double> want;
  // strtod also reads hexadecimal numbers, which sketch files do not have;
  // text after a NUL byte is out of its sight.
  std::string text(reinterpret_cast<const char*>(data), size);
  bool comparable = text.find_first_of("xX") == std::string::npos;
  if (comparable) want = expected(text.c_str());

  try {
    Cvd::Ref v = Kex::IO::csketchfile_cvs(input_name());
    auto* m = dynamic_cast<Cvd::MatVal*>(v.get());
    if (m == nullptr || m->get_Cols() != 1 || !m->get_HasImag()) fail(__LINE__);
    const std::uint32_t n = m->get_Rows();
    if (n == 0 || n > 16003) fail(__LINE__);
    for (std::uint32_t i = 0; i < n; ++i) {
      if (m->real()[i] > 1e10 || m->imag()[i] > 1e10) fail(__LINE__);
    }
    if (comparable) {
      if (want.size() != 2 * static_cast<std::size_t>(n)) fail(__LINE__);
      for (std::uint32_t i = 0; i < n; ++i) {
        if (!same(m->real()[i], want[2 * i]) || !same(m->imag()[i], want[2 * i + 1])) {
          fail(__LINE__);
        }
      }
    }
  } catch (const Kex::Exception& e) {
    if (e.message() != "unknown file format" || e.index() != Kex::kWholeCall) fail(__LINE__);
    if (comparable && !want.empty()) fail(__LINE__);
  }
  return 0;
}
