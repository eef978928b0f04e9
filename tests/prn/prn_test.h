// Helpers of the text-table tests: a fresh temporary folder, file bytes, and
// calls of the entry points with the worksheet directory set to the folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "kexio/io.h"
#include "support/values.h"

namespace prn_test {

using namespace kexio_test;
using IO = Kex::IO;
using Ref = Cvd::Ref;
using Rows = std::vector<std::vector<double>>;

// The message and argument of what a call raised.
inline std::pair<std::string, std::uint32_t> raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const Kex::Exception& e) {
    return {e.message(), e.index()};
  }
  return {"<nothing raised>", 0};
}
#define EXPECT_RAISES(call, msg, idx) \
  EXPECT_EQ(prn_test::raised([&] { (void)(call); }), std::make_pair(std::string(msg), idx))

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    m_path = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/kexio-prn-XXXXXX";
    if (mkdtemp(m_path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  }
  ~TempDir() { std::filesystem::remove_all(m_path); }
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }
  std::u16string cwd() const { return Vrt::RawBytesToString(m_path); }

 private:
  std::string m_path;
};

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline Cvd::MatVal* as_mat(const Ref& v) {
  return dynamic_cast<Cvd::MatVal*>(v.get());
}

// The real parts of a matrix, row by row.
inline Rows rows_of(const Ref& v) {
  const Cvd::MatVal* m = as_mat(v);
  Rows out(m->get_Rows(), std::vector<double>(m->get_Cols()));
  for (std::uint32_t r = 0; r < m->get_Rows(); ++r) {
    for (std::uint32_t c = 0; c < m->get_Cols(); ++c)
      out[r][c] = m->get_real(r, c);
  }
  return out;
}

inline Ref read_prn(const TempDir& dir, const std::string& name) {
  return IO::READPRN(dir.cwd(), str(name));
}
// Writes content to a file of the folder and reads it as a table.
inline Ref read_text(const TempDir& dir, const std::string& content) {
  write_file(dir / "t.txt", content);
  return read_prn(dir, "t.txt");
}

}  // namespace prn_test
