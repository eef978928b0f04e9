// WRITEPRN: the bytes of tables and numbers, the precision and width checks,
// the file name, open and write failures, and every field against printf.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "prn_test.h"

namespace {

using namespace prn_test;

Ref write_prn(const TempDir& dir, const std::string& name, const Ref& value, int precision = 4,
              int width = 8) {
  return IO::WRITEPRN(dir.cwd(), precision, width, str(name), value);
}

TEST(WritePrn, TablesAndNumbers) {
  TempDir dir;
  Ref m = mat({{1, -2.5}, {100, 0.001}});
  EXPECT_EQ(write_prn(dir, "t.txt", m, 3, 8), m);
  EXPECT_EQ(read_file(dir / "t.txt"), "       1    -2.5\n     100   0.001\n");

  Ref z = num(1, 2);
  EXPECT_EQ(write_prn(dir, "z.txt", z, 4, 8), z);
  EXPECT_EQ(read_file(dir / "z.txt"), "       1       2\n");
  write_prn(dir, "r.txt", num(5), 4, 8);
  EXPECT_EQ(read_file(dir / "r.txt"), "       5\n");
  // The width is a minimum; the blank or minus sign always comes first.
  write_prn(dir, "narrow.txt", mat({{123456, -0.5, 1e-5}}), 6, 1);
  EXPECT_EQ(read_file(dir / "narrow.txt"), " 123456-0.5 1e-05\n");

  // A complex matrix whose imaginary parts are all zero is a real table.
  auto c = mat({{1, 2}});
  c->m_iarr = Cvd::NewArray(2);
  c->m_iarr[0] = c->m_iarr[1] = 0;
  write_prn(dir, "c.txt", c, 4, 4);
  EXPECT_EQ(read_file(dir / "c.txt"), "   1   2\n");

  // Writing again replaces the whole file.
  write_prn(dir, "t.txt", mat({{7}}), 4, 2);
  EXPECT_EQ(read_file(dir / "t.txt"), " 7\n");
}

TEST(WritePrn, NamesWithoutFullStopGetPrn) {
  TempDir dir;
  if (dir.path().find('.') != std::string::npos) GTEST_SKIP() << "the temporary folder has a '.'";
  write_prn(dir, "data", num(1));
  EXPECT_EQ(read_file(dir / "data.prn"), "       1\n");
  write_prn(dir, "data.txt", num(2));
  EXPECT_EQ(read_file(dir / "data.txt"), "       2\n");
  // A full stop anywhere in the path counts, a folder's included.
  mkdir((dir / "v1.0").c_str(), 0755);
  write_prn(dir, "v1.0/data", num(3));
  EXPECT_EQ(read_file(dir / "v1.0/data"), "       3\n");
}

TEST(WritePrn, SettingsAreCheckedBeforeAnyFile) {
  TempDir dir;
  EXPECT_RAISES(write_prn(dir, "a.txt", num(1), 17, 8), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_RAISES(write_prn(dir, "a.txt", num(1), 0, 8), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_RAISES(write_prn(dir, "a.txt", num(1), 4, 0), "illegal PRNCOLWIDTH", Kex::kWholeCall);
  EXPECT_RAISES(write_prn(dir, "a.txt", num(1), 4, 133), "illegal PRNCOLWIDTH", Kex::kWholeCall);
  EXPECT_RAISES(write_prn(dir, "a.txt", num(1), -20'000'000, 0), "illegal PRNPRECISION",
                Kex::kWholeCall);
  // The precision is checked first.
  EXPECT_RAISES(write_prn(dir, "a.txt", num(1), 0, 0), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_FALSE(std::filesystem::exists(dir / "a.txt"));
  write_prn(dir, "edges.txt", mat({{0.5}}), 16, 132);
  EXPECT_EQ(read_file(dir / "edges.txt"), std::string(129, ' ') + "0.5\n");
  write_prn(dir, "edges.txt", mat({{0.5}}), 1, 1);
  EXPECT_EQ(read_file(dir / "edges.txt"), " 0.5\n");
}

TEST(WritePrn, OpenAndWriteFailures) {
  TempDir dir;
  EXPECT_RAISES(write_prn(dir, "no/such/folder/a.txt", num(1)), std::strerror(ENOENT), 1u);
  mkdir((dir / "sub.d").c_str(), 0755);
  EXPECT_RAISES(write_prn(dir, "sub.d", num(1)), "file open error", 1u);
  Raised url = raised([&] { write_prn(dir, "ftp://host/a.txt", num(1)); });
  EXPECT_EQ(url.index, 1u);
  EXPECT_NE(url.message.find("ftp"), std::string::npos);
  // A device that refuses every byte.
  if (access("/dev/full", W_OK) == 0) {
    ASSERT_EQ(symlink("/dev/full", (dir / "full.txt").c_str()), 0);
    EXPECT_RAISES(write_prn(dir, "full.txt", mat({{1, 2}})), "file write error", Kex::kWholeCall);
    EXPECT_RAISES(write_prn(dir, "full.txt", num(1)), "file write error", Kex::kWholeCall);
  }
}

// Values that exercise every branch of %g: random bit patterns (NaN and
// infinities among them), subnormals, huge and tiny exponents, signed zeros,
// integers, and decimals that sit on rounding boundaries.
std::vector<double> format_values(std::size_t n) {
  std::mt19937_64 rng(2024);
  std::uniform_int_distribution<int> kind(0, 9);
  std::vector<double> v;
  v.reserve(n);
  auto bits = [](std::uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
  };
  while (v.size() < n) {
    std::uint64_t r = rng();
    switch (kind(rng)) {
      case 0:
      case 1:
        v.push_back(bits(r));
        break;
      case 2:  // subnormal
        v.push_back(bits(r & 0x800FFFFFFFFFFFFFu));
        break;
      case 3:  // huge or tiny
        v.push_back(std::ldexp(static_cast<double>(r >> 11), static_cast<int>(r % 2000) - 1050));
        break;
      case 4:
        v.push_back(r % 2 ? 0.0 : -0.0);
        break;
      case 5:  // integers
        v.push_back(static_cast<double>(static_cast<std::int64_t>(r) >> (r % 60)));
        break;
      case 6: {  // short decimals, often ending in 5
        double d = static_cast<double>(r % 100000) + 0.5;
        v.push_back(d / std::pow(10.0, static_cast<double>(r % 12)));
        break;
      }
      case 7:  // just below a power of ten
        v.push_back(std::nextafter(std::pow(10.0, static_cast<double>(r % 40) - 20), 0.0));
        break;
      default:  // ordinary data
        v.push_back((static_cast<double>(r % 2000001) - 1e6) / 1024.0);
        break;
    }
  }
  return v;
}

std::size_t value_count() {
  if (const char* e = std::getenv("KEXIO_PRN_FORMAT_VALUES")) return std::strtoull(e, nullptr, 10);
#if defined(__SANITIZE_ADDRESS__)
  return std::size_t{1} << 17;  // the sanitizer build formats eight times fewer
#else
  return std::size_t{1} << 20;
#endif
}

TEST(WritePrn, EveryFieldEqualsPrintf) {
  TempDir dir;
  const std::size_t total = value_count();
  const int widths[] = {1, 2, 5, 8, 9, 12, 17, 23, 30, 132};
  const std::size_t calls = 16 * 4;
  const std::size_t per_call = total / calls;
  const std::uint32_t cols = 8;
  const auto rows = static_cast<std::uint32_t>(per_call / cols);
  std::vector<double> values = format_values(std::size_t{rows} * cols * calls);
  std::size_t next = 0;
  for (int precision = 1; precision <= 16; ++precision) {
    for (int k = 0; k < 4; ++k) {
      int width = widths[(precision * 3 + k * 7) % 10];
      auto m = Cvd::MatVal::Zeros(rows, cols);
      std::string expected;
      char field[200];
      for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::uint32_t c = 0; c < cols; ++c) {
          double v = values[next++];
          m->real()[std::size_t{c} * rows + r] = v;
          expected.append(field, static_cast<std::size_t>(std::snprintf(
                                     field, sizeof field, "% *.*g", width, precision, v)));
        }
        expected += '\n';
      }
      write_prn(dir, "f.txt", m, precision, width);
      std::string got = read_file(dir / "f.txt");
      if (got != expected) {
        std::size_t at = 0;
        while (at < got.size() && at < expected.size() && got[at] == expected[at])
          ++at;
        std::size_t from =
            expected.rfind('\n', at) == std::string::npos ? 0 : expected.rfind('\n', at) + 1;
        ADD_FAILURE() << "precision " << precision << " width " << width << ": line\n"
                      << got.substr(from, expected.find('\n', at) - from) << "\nshould be\n"
                      << expected.substr(from, expected.find('\n', at) - from);
        return;
      }
    }
  }
  EXPECT_EQ(next, values.size());
}

}  // namespace
