// READBIN with arbitrary element type, byte order, columns, skipped bytes and
// rows, all taken from the input's first bytes; the rest of the input is the
// file. Every outcome is checked against an independent reading of the same
// bytes: the expected error and argument, or every element of the result.
// A result that was read is written back with WRITEBIN, which must give the
// same bytes again.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kexio/io.h"
#include "typed_files.h"

namespace {

using namespace typed_files;

// Argument values: mostly sensible, sometimes one of these.
const double kOdd[] = {0.0,      -1.0,      1.5,          3e9,          NAN,
                       INFINITY, -INFINITY, 2147483647.0, 2147483648.0, -0.0};

double pick(std::uint8_t selector, std::uint8_t value, double usual) {
  return selector >= 0xF0 ? kOdd[value % (sizeof kOdd / sizeof kOdd[0])] : usual;
}

// The check of a rows, cols or skip argument: null when it passes.
const char* check(double x, double min, const char* message) {
  if (!(x == std::floor(x)) || x < min) return message;
  if (x > 2147483647.0) return "integer too large";
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const std::uint8_t* content = data + 8;
  std::size_t length = size - 8;
  bool bad_type = data[0] % 9 == 8;
  const Type& t = kTypes[data[0] % 8];
  double endian = data[1] >= 0xF8 ? (data[1] & 1 ? 0.5 : 2.0) : (data[1] & 1);
  double cols = pick(data[2], data[3], 1 + data[3] % 48);
  double skip = pick(data[4], data[5], data[5] % 48);
  double rows = pick(data[6], data[7], data[7] % 3 == 0 ? 0 : data[7] % 40);
  std::size_t optional = data[7] >> 5 & 3;  // how many trailing arguments are left out
  if (optional == 3) optional = 4;

  std::vector<Cvd::Ref> args = {text("in.bin"), text(bad_type ? "int8" : t.name),
                                num(endian),    num(cols),
                                num(skip),      num(rows)};
  args.resize(args.size() - optional);
  if (args.size() < 6) rows = 0;
  if (args.size() < 5) skip = 0;
  if (args.size() < 4) cols = 1;
  if (args.size() < 3) endian = 0;
  put("in.bin", content, length);

  // What READBIN must do, worked out independently.
  Expected want;
  const char* why = nullptr;
  if (bad_type) {
    want = {"unrecognized value", 2};
  } else if ((why = check(rows, 0, "must be positive integer"))) {
    want = {why, 6};
  } else if ((why = check(cols, 1, "must be positive integer"))) {
    want = {why, 4};
  } else if ((why = check(skip, 0, "must be non-negative integer"))) {
    want = {why, 5};
  } else if (endian != 0 && endian != 1) {
    want = {"bad value for endian code", 3};
  }
  std::uint64_t available = 0, r = 0, c = 0;
  if (want.message.empty()) {
    auto s = static_cast<std::uint64_t>(skip);
    available = length > s ? (length - s) / t.size : 0;
    c = static_cast<std::uint64_t>(cols);
    r = rows == 0 ? available / c : static_cast<std::uint64_t>(rows);
    if (r * c > available) want = {"expected", 1};
  }

  Cvd::Ref result;
  try {
    result = Kex::IO::READBIN(Vrt::RawBytesToString(folder()), args);
  } catch (const Kex::Exception& e) {
    if (want.message.empty()) fail(e.what());
    if (e.index() != want.index || e.message().rfind(want.message, 0) != 0) fail(e.what());
    return 0;
  }
  if (!want.message.empty()) fail("no error where one was due");

  auto* m = dynamic_cast<Cvd::MatVal*>(result.get());
  if (m == nullptr || m->get_Rows() != r || m->get_Cols() != c || m->get_HasImag()) {
    fail("wrong result shape");
  }
  const std::uint8_t* first = r * c == 0 ? content : content + static_cast<std::size_t>(skip);
  bool big = endian == 1;
  for (std::uint64_t i = 0; i < r; ++i) {
    for (std::uint64_t j = 0; j < c; ++j) {
      double v = decode(t, first + (i * c + j) * t.size, big);
      double got = m->get_real(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
      if (!(got == v || (std::isnan(got) && std::isnan(v)))) fail("element differs from the file");
    }
  }

  // Written back with the same type and order, the elements give the same
  // bytes; a single's NaN may come back quieted, so it only has to stay NaN.
  Kex::IO::WRITEBIN(Vrt::RawBytesToString(folder()), text("out.bin"), text(t.name), num(endian),
                    result);
  std::vector<std::uint8_t> out = get("out.bin");
  if (out.size() != r * c * t.size) fail("written file has the wrong size");
  for (std::size_t k = 0; k < r * c; ++k) {
    const std::uint8_t* a = first + k * t.size;
    const std::uint8_t* b = out.data() + k * t.size;
    if (std::memcmp(a, b, t.size) == 0) continue;
    if (t.is_float && std::isnan(decode(t, a, big)) && std::isnan(decode(t, b, big))) continue;
    fail("written bytes differ from the bytes read");
  }
  return 0;
}
