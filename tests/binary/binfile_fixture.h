// A fresh temporary folder as the worksheet directory, with helpers to put
// and get file bytes and to call READBIN and WRITEBIN in it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kexio/io.h"
#include "support/values.h"

namespace kexio_test {

using Bytes = std::vector<unsigned char>;

class BinFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/kexbinXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

 public:
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::u16string cwd() const { return Vrt::RawBytesToString(dir_); }

  void put(const std::string& name, const Bytes& bytes) const {
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  Bytes get(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  Cvd::Ref read(const std::vector<Cvd::Ref>& args) const { return Kex::IO::READBIN(cwd(), args); }
  Cvd::Ref write(const std::string& name, const std::string& type, double endian,
                 const Cvd::Ref& m) const {
    return Kex::IO::WRITEBIN(cwd(), str(name), str(type), num(endian), m);
  }

 private:
  std::string dir_;
};

inline const Cvd::MatVal& as_mat(const Cvd::Ref& v) {
  auto* m = dynamic_cast<const Cvd::MatVal*>(v.get());
  if (m == nullptr) throw std::runtime_error("not a matrix");
  return *m;
}

// A rows x cols host matrix with element (r, c) = f(r, c).
template <typename F>
std::shared_ptr<Cvd::MatVal> make_matrix(std::uint32_t rows, std::uint32_t cols, F f) {
  auto m = Cvd::MatVal::Zeros(rows, cols);
  for (std::uint32_t c = 0; c < cols; ++c) {
    for (std::uint32_t r = 0; r < rows; ++r)
      m->real()[std::size_t{c} * rows + r] = f(r, c);
  }
  return m;
}

}  // namespace kexio_test
