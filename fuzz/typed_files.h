// What the fuzz targets of typed binary files (READBIN, READRAW) share: the
// sample types, a scratch folder for the run and its files, and an
// independent reading of one sample, byte by byte.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kexio/io.h"
#include "scratch.h"

namespace typed_files {

struct Type {
  const char* name;
  std::size_t size;
  bool is_signed;
  bool is_float;
};

inline constexpr Type kTypes[] = {{"byte", 1, false, false},   {"sint8", 1, true, false},
                                  {"uint16", 2, false, false}, {"int16", 2, true, false},
                                  {"uint32", 4, false, false}, {"int32", 4, true, false},
                                  {"float", 4, true, true},    {"double", 8, true, true}};

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  std::abort();
}

// The folder of the run's files.
inline const std::string& folder() {
  return fuzz::scratch();
}

inline Cvd::Ref num(double v) {
  return std::make_shared<Cvd::NumVal>(v);
}
using fuzz::text;

inline void put(const std::string& name, const std::uint8_t* data, std::size_t size) {
  fuzz::put_file(name, data, size);
}

inline std::vector<std::uint8_t> get(const std::string& name) {
  std::vector<std::uint8_t> bytes;
  std::FILE* f = std::fopen((folder() + "/" + name).c_str(), "rb");
  if (f == nullptr) fail("cannot read the written file");
  for (int c; (c = std::fgetc(f)) != EOF;)
    bytes.push_back(static_cast<std::uint8_t>(c));
  std::fclose(f);
  return bytes;
}

// The sample at p, read byte by byte in the given order.
inline double decode(const Type& t, const std::uint8_t* p, bool big) {
  std::uint64_t u = 0;
  for (std::size_t i = 0; i < t.size; ++i)
    u = u << 8 | p[big ? i : t.size - 1 - i];
  if (t.is_float && t.size == 4) {
    auto w = static_cast<std::uint32_t>(u);
    float f;
    std::memcpy(&f, &w, sizeof f);
    return f;
  }
  if (t.is_float) {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
  }
  if (t.is_signed) {
    std::uint64_t sign = std::uint64_t{1} << (8 * t.size - 1);
    return static_cast<double>(static_cast<std::int64_t>(u ^ sign) -
                               static_cast<std::int64_t>(sign));
  }
  return static_cast<double>(u);
}

// What a call must do: an error at an argument, or (message empty) a result.
struct Expected {
  std::string message;
  std::uint32_t index = 0;
};

}  // namespace typed_files
