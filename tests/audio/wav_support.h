// Helpers for the WAV tests: a scratch folder, RIFF bytes built by hand, and
// the three functions called through the entry class.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "kexio/io.h"
#include "support/values.h"

namespace wav_test {

using kexio_test::mat;
using kexio_test::num;
using kexio_test::str;

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
struct TempDir {
  std::string path;
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/wavXXXXXX";
    path = mkdtemp(tmpl.data()) != nullptr ? tmpl : "";
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline std::string le16(unsigned v) {
  return {char(v & 0xFF), char(v >> 8 & 0xFF)};
}
inline std::string le32(std::uint32_t v) {
  return le16(v & 0xFFFF) + le16(v >> 16);
}

// A chunk with its size and, for odd sizes, the pad byte.
inline std::string chunk(const std::string& id, const std::string& data) {
  return id + le32(static_cast<std::uint32_t>(data.size())) + data +
         (data.size() % 2 ? std::string(1, '\0') : "");
}
inline std::string form(const std::string& type, const std::string& body) {
  return chunk("RIFF", type + body);
}
// A 16-byte format record (avg and align as given, not derived).
inline std::string fmt16(unsigned tag, unsigned ch, std::uint32_t rate, unsigned bits,
                         std::uint32_t avg, unsigned align) {
  return le16(tag) + le16(ch) + le32(rate) + le32(avg) + le16(align) + le16(bits);
}
inline std::string pcm(unsigned ch, unsigned bits, std::uint32_t rate = 8000) {
  unsigned width = bits > 8 ? 2 : 1;
  return chunk("fmt ", fmt16(1, ch, rate, bits, rate * ch * width, ch * width));
}

inline void put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
inline std::string get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Calls through Kex::IO with absolute paths (the worksheet directory unused).
inline std::shared_ptr<Cvd::MatVal> as_matrix(const Cvd::Ref& v) {
  auto m = std::dynamic_pointer_cast<Cvd::MatVal>(v);
  EXPECT_NE(m, nullptr);
  return m;
}
inline std::vector<double> info(const std::string& path) {
  auto m = as_matrix(Kex::IO::GETWAVINFO(u"", str(path)));
  return {m->real(), m->real() + m->size()};
}
inline std::shared_ptr<Cvd::MatVal> readwav(const std::string& path) {
  return as_matrix(Kex::IO::READWAV(u"", str(path)));
}
inline void writewav(const std::string& path, double rate, double bits, const Cvd::Ref& m) {
  Kex::IO::WRITEWAV(u"", str(path), num(rate), num(bits), m);
}

// The elements of a matrix, row by row (frame by frame).
inline std::vector<double> frames(const Cvd::MatVal& m) {
  std::vector<double> out;
  for (std::uint32_t r = 0; r < m.get_Rows(); ++r)
    for (std::uint32_t c = 0; c < m.get_Cols(); ++c)
      out.push_back(m.get_real(r, c));
  return out;
}
// A rows x cols matrix from frame-ordered values.
inline std::shared_ptr<Cvd::MatVal> from_frames(std::uint32_t rows, std::uint32_t cols,
                                                const std::vector<double>& v) {
  auto m = Cvd::MatVal::Zeros(rows, cols);
  for (std::size_t i = 0; i < v.size(); ++i)
    m->real()[(i % cols) * rows + i / cols] = v[i];
  return m;
}

struct Raised {
  std::string message;
  std::uint32_t index;
  bool operator==(const Raised&) const = default;
};
inline std::ostream& operator<<(std::ostream& o, const Raised& r) {
  return o << '"' << r.message << "\" at " << r.index;
}
inline Raised raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const Kex::Exception& e) {
    return {e.message(), e.index()};
  }
  return {"<nothing raised>", 0};
}
constexpr std::uint32_t kAll = Kex::kWholeCall;

}  // namespace wav_test
