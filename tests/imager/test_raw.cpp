// Raw images through READRAW and WRITERAW: file bytes built here for every
// sample type and byte order, pixels and planes as numpy lays them out,
// WRITEBIN's conversion, and the checks of the geometry and the file.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace {

using namespace kexio_test;
using IO = Kex::IO;
using Ref = Cvd::Ref;

class Raw : public ::testing::Test {
 protected:
  ScratchDir dir;
  Ref read(const std::string& name, double x, double y, double z, const std::string& type,
           double skip) {
    return IO::READRAW(dir.cwd(), str(name), num(x), num(y), num(z), str(type), num(skip));
  }
  Ref write(const std::string& name, double x, const std::string& type, const Ref& m) {
    return IO::READRAW(dir.cwd(), m, str(name), num(x), str(type));
  }
};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

struct Type {
  const char* word;
  unsigned size;
  double values[6];  // exactly representable in the type
};

const Type kTypes[] = {
    {"byte", 1, {0, 1, 127, 128, 254, 255}},
    {"sint8", 1, {-128, -1, 0, 1, 100, 127}},
    {"uint16", 2, {0, 1, 255, 256, 65534, 65535}},
    {"int16", 2, {-32768, -1, 0, 1, 258, 32767}},
    {"uint32", 4, {0, 1, 65536, 16777216, 4294967294, 4294967295}},
    {"int32", 4, {-2147483648.0, -1, 0, 1, 65536, 2147483647}},
    {"float", 4, {-1.5, 0, 0.25, 3.4028234663852886e38, -kInf, 1.401298464324817e-45}},
    {"double", 8, {-1.5, -0.0, 0.1, 1e300, kInf, 5e-324}},
};

// A value's bytes in the type, least significant first or last.
std::string encode(const Type& t, double v, bool big) {
  std::uint64_t bits;
  if (std::string(t.word) == "float") {
    bits = std::bit_cast<std::uint32_t>(static_cast<float>(v));
  } else if (std::string(t.word) == "double") {
    bits = std::bit_cast<std::uint64_t>(v);
  } else {
    bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
  }
  std::string b;
  for (unsigned i = 0; i < t.size; ++i)
    b += static_cast<char>(bits >> (8 * (big ? t.size - 1 - i : i)));
  return b;
}

bool same(double a, double b) {
  return a == b ? std::signbit(a) == std::signbit(b) : std::isnan(a) && std::isnan(b);
}

TEST_F(Raw, EverySampleTypeInBothByteOrders) {
  for (const Type& t : kTypes) {
    for (bool big : {false, true}) {
      const std::string word = std::string(t.word) + (big ? "be" : "");
      std::string bytes;
      for (double v : t.values)
        bytes += encode(t, v, big);
      // Three header bytes, then two rows of three pixels.
      write_bytes(dir / "in.raw", "hdr" + bytes);
      Ref m = read("in.raw", 3, 2, 1, word, 3);
      Rows got = rows_of(m);
      ASSERT_EQ(got.size(), 2u) << word;
      for (int k = 0; k < 6; ++k)
        EXPECT_TRUE(same(got[k / 3][k % 3], t.values[k])) << word << " " << k;
      // Written back, the same bytes.
      write("out.raw", 1, word, m);
      EXPECT_EQ(read_bytes(dir / "out.raw"), bytes) << word;
    }
  }
}

TEST_F(Raw, WritingConvertsAsWritebinDoes) {
  // Halves away from zero, saturation at the type's range, NaN as 0; the
  // nearest single for float, infinities beyond its range.
  auto m = mat(
      {{2.5, -2.5, 300, -1, kNan, kInf, -kInf, 1e300, 0.49999999999999994, -0.5, 65535.5, 7e38}});
  for (const Type& t : kTypes) {
    for (int endian : {0, 1}) {
      const std::string word = std::string(t.word) + (endian == 1 ? "be" : "");
      write("raw.bin", 1, word, m);
      IO::WRITEBIN(dir.cwd(), str("bin.bin"), str(t.word), num(endian), m);
      EXPECT_EQ(read_bytes(dir / "raw.bin"), read_bytes(dir / "bin.bin")) << word;
    }
  }
}

// numpy reads each planes_<n>.raw written by WRITERAW as (rows, pixels,
// samples) of the dtype in planes_<n>.type, and finds the planes side by
// side in planes_<n>.f64 (the matrix row by row); it writes the matrix
// itself as planes_<n>.np for READRAW.
const char* const kNumpy = R"(
import glob, sys, numpy as np
for typ in glob.glob(sys.argv[1] + '/planes_*.type'):
    stem = typ[:-5]
    dtype, y, x, z = open(typ).read().split()
    y, x, z = int(y), int(x), int(z)
    want = np.fromfile(stem + '.f64', dtype='<f8').reshape(y, z * x)
    got = np.fromfile(stem + '.raw', dtype=dtype).reshape(y, x, z)
    planes = np.concatenate([got[:, :, k] for k in range(z)], axis=1)
    if not np.array_equal(planes.astype(np.float64), want):
        print(stem, 'differs in numpy')
        sys.exit(1)
    np.stack([want[:, k * x:(k + 1) * x] for k in range(z)], axis=2).astype(dtype).tofile(stem + '.np')
)";

TEST_F(Raw, PlanesSideBySideAreInterleavedSamplesInNumpy) {
  if (!have_python("numpy")) GTEST_SKIP() << "/usr/bin/python3 with numpy is not available";
  // Odd widths, rows in several bands, and rows larger than a band.
  struct Case {
    const char* word;
    const char* dtype;
    std::uint32_t y, x, z;
  };
  const Case cases[] = {{"uint16be", ">u2", 263, 1001, 3},
                        {"int32", "<i4", 5, 7, 2},
                        {"float", "<f4", 3, 9, 4},
                        {"byte", "u1", 300, 2, 1},
                        {"uint16", "<u2", 2, 300001, 2}};
  std::vector<std::shared_ptr<Cvd::MatVal>> ms;
  std::mt19937 gen(7);
  for (std::size_t n = 0; n < std::size(cases); ++n) {
    const Case& c = cases[n];
    auto m = Cvd::MatVal::Zeros(c.y, c.z * c.x);
    std::uniform_int_distribution<int> d(0, 250);
    std::string rows;  // native doubles, row by row
    for (std::uint32_t r = 0; r < c.y; ++r) {
      for (std::uint32_t k = 0; k < c.z * c.x; ++k) {
        double v = d(gen);
        m->real()[std::size_t{k} * c.y + r] = v;
        rows.append(reinterpret_cast<const char*>(&v), sizeof v);
      }
    }
    const std::string stem = "planes_" + std::to_string(n);
    write(stem + ".raw", c.z, c.word, m);
    write_bytes(dir / (stem + ".f64"), rows);
    write_bytes(dir / (stem + ".type"), std::string(c.dtype) + " " + std::to_string(c.y) + " " +
                                            std::to_string(c.x) + " " + std::to_string(c.z));
    ms.push_back(m);
  }
  ASSERT_EQ(python_failure(dir, kNumpy), "");
  for (std::size_t n = 0; n < std::size(cases); ++n) {
    const Case& c = cases[n];
    Ref back = read("planes_" + std::to_string(n) + ".np", c.x, c.y, c.z, c.word, 0);
    const auto* b = static_cast<Cvd::MatVal*>(back.get());
    ASSERT_EQ(b->get_Rows(), c.y) << c.word;
    ASSERT_EQ(b->get_Cols(), c.z * c.x) << c.word;
    EXPECT_TRUE(std::equal(ms[n]->real(), ms[n]->real() + ms[n]->size(), b->real())) << c.word;
  }
}

TEST_F(Raw, ArgumentsAreCheckedInOrder) {
  write_bytes(dir / "f.raw", std::string(13, '\x01'));
  struct Case {
    double x, y, z;
    const char* type;
    double skip;
    Raised want;
  };
  const Case reads[] = {
      {-1, 1, 1, "byte", 0, {"must be non-negative integer", 2}},
      {2.5, 1, 1, "byte", 0, {"must be non-negative integer", 2}},
      {3e9, 1, 1, "byte", 0, {"integer too large", 2}},
      {2e9, 1, 2, "byte", 0, {"integer too large", 2}},  // 4e9 columns
      {1, kNan, 1, "byte", 0, {"must be non-negative integer", 3}},
      {1, 1, 0, "byte", 0, {"must be 1, 2, 3 or 4", 4}},
      {1, 1, 5, "byte", 0, {"must be 1, 2, 3 or 4", 4}},
      {1, 1, 1, "Byte", 0, {"unrecognized value", 5}},
      {1, 1, 1, "int16le", 0, {"unrecognized value", 5}},
      {1, 1, 1, "byte", -1, {"must be non-negative integer", 6}},
      {1, 1, 1, "byte", 1e17, {"integer too large", 6}},
      // The file holds 13 bytes.
      {2, 3, 1, "uint16", 2, {"expected 14 bytes, file holds 13", 1}},
      {1, 1, 1, "byte", 13, {"expected 14 bytes, file holds 13", 1}},
      {1073741824,
       1073741824,
       1,
       "double",
       0,
       {"expected 9223372036854775808 bytes, file holds 13", 1}},
  };
  for (const Case& c : reads) {
    EXPECT_EQ(raised([&] { read("f.raw", c.x, c.y, c.z, c.type, c.skip); }), c.want)
        << c.x << " " << c.y << " " << c.z << " " << c.type << " " << c.skip;
  }
  EXPECT_EQ(raised([&] {
              IO::READRAW(dir.cwd(), str("f.raw"), num(1, 1), num(1), num(1), str("byte"), num(0));
            }),
            (Raised{"must be non-negative integer", 2}));
  // Exactly enough bytes, and nothing at all.
  EXPECT_EQ(rows_of(read("f.raw", 1, 1, 1, "byte", 12)), (Rows{{1}}));
  EXPECT_EQ(rows_of(read("f.raw", 0, 2, 3, "double", 13)), (Rows{{}, {}}));
  EXPECT_EQ(raised([&] { read("none.raw", 1, 1, 1, "byte", 0); }), (Raised{"file open error", 1}));
  std::filesystem::create_directory(dir / "folder.raw");
  EXPECT_EQ(raised([&] { read("folder.raw", 0, 0, 1, "byte", 0); }),
            (Raised{"file open error", 1}));

  const std::pair<std::function<void()>, Raised> writes[] = {
      {[&] { write("w.raw", 0, "byte", mat({{1}})); }, {"must be 1, 2, 3 or 4", 2}},
      {[&] { write("w.raw", 1, "bytes", mat({{1}})); }, {"unrecognized value", 3}},
      {[&] {
         write("w.raw", 2, "byte", mat({{1, 2, 3}}));
       },
       {"not a packed image matrix", 4}},
      {[&] { write("w.raw", 1, "byte", with_imag(mat({{1}}), {1})); }, {"must be real matrix", 4}},
      {[&] { write("no/such/w.raw", 1, "byte", mat({{1}})); },
       {std::strerror(ENOENT), Kex::kWholeCall}}};
  for (const auto& [call, want] : writes)
    EXPECT_EQ(raised(call), want) << want.message;
  EXPECT_FALSE(std::filesystem::exists(dir / "w.raw"));
}

}  // namespace
