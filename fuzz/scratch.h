// What every fuzz target shares: the run's scratch folder, files written
// into it, worksheet texts, and how a broken property stops the run.
#pragma once

#include <errno.h>  // program_invocation_short_name
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "kexio/io.h"

namespace fuzz {

// Reports what failed, then stops the run.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  std::abort();
}

// The run's scratch folder (under $TMPDIR, else /tmp), made on first use and
// removed with its files when the program ends. Its name is never freed, so
// that it outlives the destructors of other statics.
inline const std::string& scratch() {
  static const std::string* const dir = [] {
    const char* base = std::getenv("TMPDIR");
    auto* path = new std::string(std::string(base != nullptr && *base != 0 ? base : "/tmp") +
                                 "/kexio-" + program_invocation_short_name + "-XXXXXX");
    if (mkdtemp(path->data()) == nullptr) fail("no scratch folder");
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratch(), ignored);
    });
    return path;
  }();
  return *dir;
}

// The path of file name in the scratch folder.
inline std::string scratch_path(const std::string& name) {
  return scratch() + "/" + name;
}

// Writes size bytes as file name in the scratch folder; its path.
inline std::string put_file(const std::string& name, const std::uint8_t* data, std::size_t size) {
  std::string path = scratch_path(name);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || (size != 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
    fail("cannot write " + path);
  }
  return path;
}

// A worksheet text of the bytes of s.
inline Cvd::Ref text(const std::string& s) {
  return std::make_shared<Cvd::StrVal>(Vrt::RawBytesToString(s));
}

}  // namespace fuzz
