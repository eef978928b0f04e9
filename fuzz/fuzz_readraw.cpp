// READRAW with arbitrary width, height, samples per pixel, sample type and
// header bytes, all taken from the input's first bytes; the rest of the
// input is the file. Every outcome is checked against an independent
// reading of the same bytes: the expected error and argument, or every
// sample in its plane. A result that was read is written back with
// WRITERAW, which must give the same bytes again.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kexio/io.h"
#include "typed_files.h"

namespace {

using namespace typed_files;

// Argument values: mostly small, sometimes one of these.
const double kOdd[] = {0.0,       -1.0,         1.5,          3e9,  NAN,  INFINITY,
                       -INFINITY, 2147483647.0, 2147483648.0, -0.0, 1e17, 65536};

double pick(std::uint8_t selector, std::uint8_t value, double usual) {
  return selector >= 0xF0 ? kOdd[value % (sizeof kOdd / sizeof kOdd[0])] : usual;
}

bool whole(double x, double max) {
  return x == std::floor(x) && x >= 0 && x <= max;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const std::uint8_t* content = data + 8;
  const std::size_t length = size - 8;
  const bool bad_type = data[0] % 17 == 16;
  const Type& t = kTypes[data[0] % 8];
  const bool big = data[0] % 17 >= 8;
  const std::string word = bad_type ? "int16le" : std::string(t.name) + (big ? "be" : "");
  const double x = pick(data[1], data[2], data[2] % 24);
  const double y = pick(data[3], data[4], data[4] % 24);
  const double z = data[5] >= 0xF0 ? kOdd[data[5] % 12] : 1 + data[5] % 4;
  const double skip = pick(data[6], data[7], data[7] % 16);
  put("in.raw", content, length);

  // What READRAW must do, worked out independently.
  Expected want;
  const double kInt = 2147483647.0;
  // Each argument is checked in turn: X, then Y, then Z, S and K.
  if (!whole(x, INFINITY)) {
    want = {"must be non-negative integer", 2};
  } else if (!whole(x, kInt)) {
    want = {"integer too large", 2};
  } else if (!whole(y, INFINITY)) {
    want = {"must be non-negative integer", 3};
  } else if (!whole(y, kInt)) {
    want = {"integer too large", 3};
  } else if (!(z == 1 || z == 2 || z == 3 || z == 4)) {
    want = {"must be 1, 2, 3 or 4", 4};
  } else if (bad_type) {
    want = {"unrecognized value", 5};
  } else if (!whole(skip, INFINITY)) {
    want = {"must be non-negative integer", 6};
  } else if (!whole(skip, 9007199254740992.0)) {
    want = {"integer too large", 6};
  } else if (x * z > kInt) {
    want = {"integer too large", 2};
  } else {
    const double samples = x * y * z;  // exact: below 2^53 whenever the file can hold them
    if (skip + samples * static_cast<double>(t.size) > static_cast<double>(length)) {
      want = {"expected", 1};
    }
  }

  Cvd::Ref result;
  try {
    result = Kex::IO::READRAW(Vrt::RawBytesToString(folder()), text("in.raw"), num(x), num(y),
                              num(z), text(word), num(skip));
  } catch (const Kex::Exception& e) {
    if (want.message.empty()) fail(e.message());
    if (e.index() != want.index || e.message().rfind(want.message, 0) != 0) {
      fail(e.message() + " instead of " + want.message);
    }
    return 0;
  }
  if (!want.message.empty()) fail("no error where " + want.message + " was due");

  const auto w = static_cast<std::uint64_t>(x), h = static_cast<std::uint64_t>(y);
  const auto planes = static_cast<std::uint64_t>(z);
  auto* m = dynamic_cast<Cvd::MatVal*>(result.get());
  if (m == nullptr || m->get_Rows() != h || m->get_Cols() != w * planes || m->get_HasImag()) {
    fail("wrong result shape");
  }
  const std::uint8_t* first = content + static_cast<std::size_t>(skip);
  // Rows without columns hold nothing to compare (and may be 2^31 of them).
  for (std::uint64_t r = 0; r < (w * planes > 0 ? h : 0); ++r) {
    for (std::uint64_t px = 0; px < w; ++px) {
      for (std::uint64_t p = 0; p < planes; ++p) {
        double v = decode(t, first + ((r * w + px) * planes + p) * t.size, big);
        double got =
            m->get_real(static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(p * w + px));
        if (!(got == v || (std::isnan(got) && std::isnan(v)))) fail("sample differs from the file");
      }
    }
  }

  // Written back with the same type, order and samples per pixel, the
  // samples give the same bytes; a single's NaN may come back quieted.
  Kex::IO::READRAW(Vrt::RawBytesToString(folder()), result, text("out.raw"), num(z), text(word));
  std::vector<std::uint8_t> out = get("out.raw");
  const std::uint64_t n = h * w * planes;
  if (out.size() != n * t.size) fail("written file has the wrong size");
  for (std::uint64_t k = 0; k < n; ++k) {
    const std::uint8_t* a = first + k * t.size;
    const std::uint8_t* b = out.data() + k * t.size;
    if (std::memcmp(a, b, t.size) == 0) continue;
    if (t.is_float && std::isnan(decode(t, a, big)) && std::isnan(decode(t, b, big))) continue;
    fail("written bytes differ from the bytes read");
  }
  return 0;
}
