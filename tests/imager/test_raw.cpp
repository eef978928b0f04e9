// Raw images through READRAW and WRITERAW: file bytes built here for every
// sample type and byte order, WRITEBIN's conversion, pixels and planes as
// numpy lays them out, and the checks of the geometry and the file (the
// fuzz target checks every other combination).
#include <gtest/gtest.h>

#include <bit>
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
  const std::string word = t.word;
  const std::uint64_t bits = word == "float" ? std::bit_cast<std::uint32_t>(static_cast<float>(v))
                             : word == "double"
                                 ? std::bit_cast<std::uint64_t>(v)
                                 : static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
  return (big ? be : le)(bits, static_cast<int>(t.size));
}

TEST_F(Raw, EverySampleTypeInBothByteOrders) {
  // Written, values are converted as WRITEBIN converts them: halves away
  // from zero, saturated, NaN as 0; the nearest single for float.
  auto tricky = mat(
      {{2.5, -2.5, 300, -1, kNan, kInf, -kInf, 1e300, 0.49999999999999994, -0.5, 65535.5, 7e38}});
  for (const Type& t : kTypes) {
    for (int big : {0, 1}) {
      const std::string word = std::string(t.word) + (big ? "be" : "");
      std::string bytes;
      for (double v : t.values)
        bytes += encode(t, v, big);
      // Three header bytes, then two rows of three pixels; written back, the
      // same bytes.
      write_bytes(dir / "in.raw", "hdr" + bytes);
      Ref m = read("in.raw", 3, 2, 1, word, 3);
      const double* v = t.values;
      EXPECT_EQ(rows_of(m), (Rows{{v[0], v[1], v[2]}, {v[3], v[4], v[5]}})) << word;
      write("out.raw", 1, word, m);
      EXPECT_EQ(read_bytes(dir / "out.raw"), bytes) << word;
      // Five rows of five two-sample pixels: whole blocks of four samples of
      // four rows and the rows and samples left over; sample i of a row is
      // value i % 6 shifted by the row.
      std::string grid;
      Rows want(5, std::vector<double>(10));
      for (int r = 0; r < 5; ++r) {
        for (int i = 0; i < 10; ++i) {
          grid += encode(t, v[(i + r) % 6], big);
          want[r][i % 2 * 5 + i / 2] = v[(i + r) % 6];
        }
      }
      write_bytes(dir / "grid.raw", grid);
      EXPECT_EQ(rows_of(read("grid.raw", 5, 5, 2, word, 0)), want) << word;
      write("raw.bin", 1, word, tricky);
      IO::WRITEBIN(dir.cwd(), str("bin.bin"), str(t.word), num(big), tricky);
      EXPECT_EQ(read_bytes(dir / "raw.bin"), read_bytes(dir / "bin.bin")) << word;
    }
  }
}

// numpy reads each <n>.raw that WRITERAW wrote, as (rows, pixels, samples)
// of the dtype in <n>.type, and must find the planes side by side in <n>.f64
// (native doubles, row by row); it writes those values as <n>.np for READRAW.
const char* const kNumpy = R"(
import glob, sys, numpy as np
for typ in glob.glob(sys.argv[1] + '/*.type'):
    stem = typ[:-5]
    dtype, y, x, z = open(typ).read().split()
    y, x, z = int(y), int(x), int(z)
    want = np.fromfile(stem + '.f64').reshape(y, z * x)
    got = np.fromfile(stem + '.raw', dtype=dtype).reshape(y, x, z)
    if not np.array_equal(np.concatenate([got[:, :, k] for k in range(z)], axis=1), want):
        sys.exit(stem + ' differs in numpy')
    np.stack(np.split(want, z, axis=1), axis=2).astype(dtype).tofile(stem + '.np')
)";

TEST_F(Raw, PlanesSideBySideAreInterleavedSamplesInNumpy) {
  if (!have_python("numpy")) GTEST_SKIP() << "/usr/bin/python3 with numpy is not available";
  // Odd widths; long rows in strips of columns, short ones in tiles of rows;
  // files large enough to be shared out between threads, by strips (the
  // first and last) and by rows (the third).
  const std::tuple<const char*, const char*, std::uint32_t, std::uint32_t, std::uint32_t> cases[] =
      {{"uint16be", ">u2", 263, 1001, 3},
       {"int32", "<i4", 5, 7, 2},
       {"int16", "<i2", 40001, 7, 2},
       {"float", "<f4", 3, 9, 4},
       {"uint16", "<u2", 2, 300001, 2}};
  std::vector<std::shared_ptr<Cvd::MatVal>> ms;
  std::mt19937 gen(7);
  for (const auto& [word, dtype, y, x, z] : cases) {
    auto m = Cvd::MatVal::Zeros(y, z * x);
    std::vector<double> rows(m->size());
    for (std::size_t i = 0; i < m->size(); ++i)
      rows[i] = m->real()[i % (z * x) * y + i / (z * x)] = gen() % 251;
    const std::string stem = std::to_string(ms.size());
    write(stem + ".raw", z, word, m);
    write_bytes(dir / (stem + ".f64"), std::string(reinterpret_cast<const char*>(rows.data()),
                                                   rows.size() * sizeof(double)));
    write_bytes(dir / (stem + ".type"), std::string(dtype) + " " + std::to_string(y) + " " +
                                            std::to_string(x) + " " + std::to_string(z));
    ms.push_back(m);
  }
  ASSERT_EQ(python_failure(dir, kNumpy), "");
  for (std::size_t n = 0; n < ms.size(); ++n) {
    const auto& [word, dtype, y, x, z] = cases[n];
    Ref back = read(std::to_string(n) + ".np", x, y, z, word, 0);
    const auto* b = static_cast<Cvd::MatVal*>(back.get());
    ASSERT_EQ(b->size(), ms[n]->size()) << word;
    EXPECT_EQ(b->get_Rows(), y) << word;
    EXPECT_TRUE(std::equal(ms[n]->real(), ms[n]->real() + ms[n]->size(), b->real())) << word;
  }
}

TEST_F(Raw, ArgumentsAreCheckedInOrder) {
  write_bytes(dir / "f.raw", std::string(13, '\x01'));
  std::error_code ec;
  struct Case {
    double x, y, z;
    const char* type;
    double skip;
    Raised want;
  };
  const Case reads[] = {
      {2.5, 1, 1, "byte", 0, {"must be non-negative integer", 2}},
      {2e9, 1, 2, "byte", 0, {"integer too large", 2}},  // 4e9 columns
      {1, kNan, 1, "byte", 0, {"must be non-negative integer", 3}},
      {1, 1, 5, "byte", 0, {"must be 1, 2, 3 or 4", 4}},
      {1, 1, 1, "int16le", 0, {"unrecognized value", 5}},
      {1, 1, 1, "byte", -1, {"must be non-negative integer", 6}},
      // The file holds 13 bytes.
      {2, 3, 1, "uint16", 2, {"expected 14 bytes, file holds 13", 1}},
      {0x1p30, 0x1p30, 1, "double", 0, {"expected 9223372036854775808 bytes, file holds 13", 1}},
  };
  for (const Case& c : reads) {
    EXPECT_EQ(raised([&] { read("f.raw", c.x, c.y, c.z, c.type, c.skip); }), c.want)
        << c.x << " " << c.y << " " << c.z << " " << c.type << " " << c.skip;
  }
  EXPECT_EQ(raised([&] {
              IO::READRAW(dir.cwd(), str("f.raw"), num(1, 1), num(1), num(1), str("byte"), num(0));
            }),
            (Raised{"must be non-negative integer", 2}));
  EXPECT_EQ(rows_of(read("f.raw", 1, 1, 1, "byte", 12)), (Rows{{1}}));  // exactly enough
  // A kernel setting claims a page and cannot be mapped: it is read, and
  // the read comes short of the size it claimed.
  const char* setting = "/sys/kernel/mm/transparent_hugepage/enabled";
  if (std::filesystem::file_size(setting, ec) == 4096) {
    const std::string text = read_bytes(setting);
    EXPECT_EQ(rows_of(read(setting, 2, 1, 1, "byte", 1)),
              (Rows{{double(text[1]), double(text[2])}}));
    EXPECT_EQ(raised([&] { read(setting, 64, 64, 1, "byte", 0); }),
              (Raised{"file read error: Input/output error", 1}));
  }
  EXPECT_EQ(raised([&] { read("none.raw", 1, 1, 1, "byte", 0); }), (Raised{"file open error", 1}));
  std::filesystem::create_directory(dir / "folder.raw");
  EXPECT_EQ(raised([&] { read("folder.raw", 0, 0, 1, "byte", 0); }),
            (Raised{"file open error", 1}));

  const std::tuple<const char*, double, const char*, Ref, Raised> writes[] = {
      {"w.raw", 0, "byte", mat({{1}}), {"must be 1, 2, 3 or 4", 2}},
      {"w.raw", 1, "bytes", mat({{1}}), {"unrecognized value", 3}},
      {"w.raw", 2, "byte", mat({{1, 2, 3}}), {"not a packed image matrix", 4}},
      {"w.raw", 1, "byte", with_imag(mat({{1}}), {1}), {"must be real matrix", 4}},
      {"no/such/w.raw", 1, "byte", mat({{1}}), {std::strerror(ENOENT), Kex::kWholeCall}}};
  for (const auto& [name, x, type, m, want] : writes)
    EXPECT_EQ(raised([&] { write(name, x, type, m); }), want) << want.message;
  EXPECT_FALSE(std::filesystem::exists(dir / "w.raw"));
}

}  // namespace
