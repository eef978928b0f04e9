// A fresh temporary folder per test, file bytes, and what a call raised.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "kexio/host/errors.h"

namespace kexio_test {

struct Raised {
  std::string message;
  std::uint32_t index = 0;
  bool operator==(const Raised&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Raised& r) {
  return os << "\"" << r.message << "\" at " << r.index;
}

inline Raised raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const Kex::Exception& e) {
    return {e.message(), e.index()};
  }
  return {"<nothing raised>", 0};
}

// A folder made with mkdtemp under $TMPDIR (or /tmp), removed with its
// contents at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != 0 ? base : "/tmp");
    pattern += "/kexio-test-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

inline std::string read_bytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

}  // namespace kexio_test
