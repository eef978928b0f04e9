// WRITEPRN: the bytes of tables and numbers, the settings, the file name,
// open and write failures, and every field against printf.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "prn_test.h"

namespace {

using namespace prn_test;

std::string written(const TempDir& dir, const Ref& value, int precision, int width,
                    const std::string& name = "w.txt") {
  EXPECT_EQ(IO::WRITEPRN(dir.cwd(), precision, width, str(name), value), value);
  return read_file(dir / name);
}

TEST(WritePrn, TablesNumbersAndNames) {
  TempDir dir;
  EXPECT_EQ(written(dir, mat({{1, -2.5}, {100, 0.001}}), 3, 8),
            "       1    -2.5\n     100   0.001\n");
  EXPECT_EQ(written(dir, num(1, 2), 4, 8), "       1       2\n");
  EXPECT_EQ(written(dir, num(5), 4, 8), "       5\n");
  // The width is a minimum; the blank or minus sign always comes first.
  EXPECT_EQ(written(dir, mat({{123456, -0.5, 1e-5}}), 6, 1), " 123456-0.5 1e-05\n");
  EXPECT_EQ(written(dir, mat({{0.5}}), 16, 132), std::string(129, ' ') + "0.5\n");
  // Imaginary parts that are all zero leave a real table.
  auto c = mat({{1, 2}});
  c->m_iarr = Cvd::NewArray(2);
  c->m_iarr[0] = c->m_iarr[1] = 0;
  EXPECT_EQ(written(dir, c, 4, 4), "   1   2\n");
  // A name with no full stop anywhere in its path gets .prn.
  if (dir.path().find('.') == std::string::npos) {
    written(dir, num(1), 4, 2, "data");
    EXPECT_EQ(read_file(dir / "data.prn"), " 1\n");
    mkdir((dir / "v1.0").c_str(), 0755);
    EXPECT_EQ(written(dir, num(3), 4, 2, "v1.0/data"), " 3\n");
  }
}

TEST(WritePrn, RefusalsAndFailures) {
  TempDir dir;
  auto w = [&](int p, int width, const std::string& name = "a.txt") {
    return IO::WRITEPRN(dir.cwd(), p, width, str(name), mat({{1, 2}}));
  };
  EXPECT_RAISES(w(17, 8), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_RAISES(w(0, 0), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_RAISES(w(-20'000'000, 8), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_RAISES(w(4, 0), "illegal PRNCOLWIDTH", Kex::kWholeCall);
  EXPECT_RAISES(w(4, 133), "illegal PRNCOLWIDTH", Kex::kWholeCall);
  EXPECT_FALSE(std::filesystem::exists(dir / "a.txt"));
  EXPECT_RAISES(w(4, 8, "no/such/folder/a.txt"), std::strerror(ENOENT), 1u);
  mkdir((dir / "sub.d").c_str(), 0755);
  EXPECT_RAISES(w(4, 8, "sub.d"), "file open error", 1u);
  EXPECT_EQ(raised([&] { w(4, 8, "ftp://host/a.txt"); }).second, 1u);
  // A device that refuses every byte.
  if (access("/dev/full", W_OK) == 0) {
    ASSERT_EQ(symlink("/dev/full", (dir / "full.txt").c_str()), 0);
    EXPECT_RAISES(w(4, 8, "full.txt"), "file write error", Kex::kWholeCall);
  }
}

// Values for every branch of %g: random bit patterns (NaN and infinities
// among them), subnormals, huge and tiny exponents, signed zeros, integers,
// decimals on rounding boundaries, values just below powers of ten.
double format_value(std::mt19937_64& rng) {
  std::uint64_t r = rng();
  double d;
  switch (rng() % 8) {
    case 0:
      std::memcpy(&d, &r, sizeof d);
      return d;
    case 1:
      r &= 0x800FFFFFFFFFFFFFu;
      std::memcpy(&d, &r, sizeof d);
      return d;
    case 2:
      return std::ldexp(static_cast<double>(r >> 11), static_cast<int>(r % 2000) - 1050);
    case 3:
      return r % 2 ? 0.0 : -0.0;
    case 4:
      return static_cast<double>(static_cast<std::int64_t>(r) >> (r % 60));
    case 5:
      return (static_cast<double>(r % 100000) + 0.5) / std::pow(10.0, static_cast<double>(r % 12));
    case 6:
      return std::nextafter(std::pow(10.0, static_cast<double>(r % 40) - 20), 0.0);
    default:
      return (static_cast<double>(r % 2000001) - 1e6) / 1024.0;
  }
}

TEST(WritePrn, EveryFieldEqualsPrintf) {
  // A million values (the sanitizer build takes an eighth) over every
  // precision and a spread of widths.
  std::size_t total = std::size_t{1} << 20;
#if defined(__SANITIZE_ADDRESS__)
  total >>= 3;
#endif
  if (const char* e = std::getenv("KEXIO_PRN_FORMAT_VALUES")) total = std::strtoull(e, nullptr, 10);
  const int widths[] = {1, 2, 5, 8, 9, 12, 17, 23, 30, 132};
  const std::uint32_t cols = 8, rows = static_cast<std::uint32_t>(total / (16 * 4 * cols));
  TempDir dir;
  std::mt19937_64 rng(2024);
  char field[200];
  for (int precision = 1; precision <= 16; ++precision) {
    for (int k = 0; k < 4; ++k) {
      int width = widths[(precision * 3 + k * 7) % 10];
      auto m = Cvd::MatVal::Zeros(rows, cols);
      std::string expected;
      for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::uint32_t c = 0; c < cols; ++c) {
          double v = m->real()[std::size_t{c} * rows + r] = format_value(rng);
          expected.append(field, static_cast<std::size_t>(std::snprintf(
                                     field, sizeof field, "% *.*g", width, precision, v)));
        }
        expected += '\n';
      }
      std::string got = written(dir, m, precision, width);
      if (got != expected) {
        auto at = static_cast<std::size_t>(
            std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).second -
            expected.begin());
        std::size_t from = expected.rfind('\n', at == 0 ? 0 : at - 1) + 1;  // npos + 1 is 0
        FAIL() << "precision " << precision << " width " << width << ": "
               << got.substr(from, got.find('\n', from) - from) << "\nshould be "
               << expected.substr(from, expected.find('\n', from) - from);
      }
    }
  }
}

}  // namespace
