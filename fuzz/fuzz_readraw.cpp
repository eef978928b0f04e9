// READRAW with arbitrary width, height, samples per pixel, sample type and
// header bytes, all taken from the input's first bytes; the rest of the
// input is the file. Every outcome is checked against an independent
// reading of the same bytes: the expected error and argument, or every
// sample in its plane. A result that was read is written back with
// WRITERAW, which must give the same bytes again.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kexio/io.h"

namespace {

struct Type {
  const char* name;
  std::size_t size;
  bool is_signed;
  bool is_float;
};

const Type kTypes[] = {{"byte", 1, false, false},   {"sint8", 1, true, false},
                       {"uint16", 2, false, false}, {"int16", 2, true, false},
                       {"uint32", 4, false, false}, {"int32", 4, true, false},
                       {"float", 4, true, true},    {"double", 8, true, true}};

struct Folder {
  std::string path;
  Folder() {
    const char* tmp = std::getenv("TMPDIR");
    path = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/fuzz_readrawXXXXXX";
    if (mkdtemp(path.data()) == nullptr) std::abort();
  }
  ~Folder() { std::filesystem::remove_all(path); }
};

const std::string& folder() {
  static const Folder dir;
  return dir.path;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_readraw: %s\n", what.c_str());
  std::abort();
}

Cvd::Ref num(double v) {
  return std::make_shared<Cvd::NumVal>(v);
}
Cvd::Ref text(const std::string& s) {
  return std::make_shared<Cvd::StrVal>(Vrt::RawBytesToString(s));
}

void put(const std::string& name, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen((folder() + "/" + name).c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
    fail("cannot write the input file");
  }
}

std::vector<std::uint8_t> get(const std::string& name) {
  std::vector<std::uint8_t> bytes;
  std::FILE* f = std::fopen((folder() + "/" + name).c_str(), "rb");
  if (f == nullptr) fail("cannot read the written file");
  for (int c; (c = std::fgetc(f)) != EOF;)
    bytes.push_back(static_cast<std::uint8_t>(c));
  std::fclose(f);
  return bytes;
}

// The sample at p, read byte by byte in the given order.
double decode(const Type& t, const std::uint8_t* p, bool big) {
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

// Argument values: mostly small, sometimes one of these.
const double kOdd[] = {0.0,       -1.0,         1.5,          3e9,  NAN,  INFINITY,
                       -INFINITY, 2147483647.0, 2147483648.0, -0.0, 1e17, 65536};

double pick(std::uint8_t selector, std::uint8_t value, double usual) {
  return selector >= 0xF0 ? kOdd[value % (sizeof kOdd / sizeof kOdd[0])] : usual;
}

bool whole(double x, double max) {
  return x == std::floor(x) && x >= 0 && x <= max;
}

struct Expected {
  std::string message;  // empty: a result
  std::uint32_t index = 0;
};

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
