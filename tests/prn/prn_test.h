// Helpers of the text-table tests: a fresh temporary folder, file bytes, and
// calls of the entry points with the worksheet directory set to the folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

struct Raised {
  std::string message;
  std::uint32_t index;
};

inline Raised raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const Kex::Exception& e) {
    return {e.message(), e.index()};
  }
  return {"<nothing raised>", 0};
}

#define EXPECT_RAISES(call, msg, idx)                  \
  do {                                                 \
    auto r_ = prn_test::raised([&] { (void)(call); }); \
    EXPECT_EQ(r_.message, msg) << #call;               \
    EXPECT_EQ(r_.index, idx) << #call;                 \
  } while (0)

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/kexio-prn-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }
  std::u16string cwd() const { return Vrt::RawBytesToString(m_path); }

 private:
  std::string m_path;
};

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline Cvd::MatVal* as_mat(const Ref& v) {
  return dynamic_cast<Cvd::MatVal*>(v.get());
}

// The real parts of a matrix, row by row.
inline std::vector<std::vector<double>> rows_of(const Ref& v) {
  const Cvd::MatVal* m = as_mat(v);
  std::vector<std::vector<double>> out(m->get_Rows(), std::vector<double>(m->get_Cols()));
  for (std::uint32_t r = 0; r < m->get_Rows(); ++r) {
    for (std::uint32_t c = 0; c < m->get_Cols(); ++c)
      out[r][c] = m->get_real(r, c);
  }
  return out;
}

using Rows = std::vector<std::vector<double>>;

// Reads the file name in the folder.
inline Ref read_prn(const TempDir& dir, const std::string& name) {
  return IO::READPRN(dir.cwd(), str(name));
}

// Writes content to a file of the folder and reads it back as a table.
inline Ref read_text(const TempDir& dir, const std::string& content,
                     const std::string& name = "t.txt") {
  write_file(dir / name, content);
  return read_prn(dir, name);
}

inline bool have_python_module(const char* module) {
  if (access("/usr/bin/python3", X_OK) != 0) return false;
  std::string cmd = std::string("/usr/bin/python3 -c 'import ") + module + "' 2>/dev/null";
  return std::system(cmd.c_str()) == 0;
}

}  // namespace prn_test
