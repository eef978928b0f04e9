// WRITEPRN: the bytes of numbers, the settings, the file name, open and write
// failures, and every field against printf. APPENDPRN: rows joined below the
// table in the file, and the refusals, a table too long to read whole among
// them. (What every writer keeps of a file is tested with all of them.)
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "prn_test.h"

namespace {

using namespace prn_test;

std::string written(const ScratchDir& dir, const Ref& value, int precision, int width,
                    const std::string& name = "w.txt") {
  EXPECT_EQ(IO::WRITEPRN(dir.cwd(), precision, width, str(name), value), value);
  return read_bytes(dir / name);
}

TEST(WritePrn, ScalarsComplexAndNames) {
  ScratchDir dir;
  EXPECT_EQ(written(dir, num(1, 2), 4, 8), "       1       2\n");
  EXPECT_EQ(written(dir, num(5), 4, 8), "       5\n");
  // Imaginary parts that are all zero leave a real table.
  EXPECT_EQ(written(dir, with_imag(mat({{1, 2}}), {0, 0}), 4, 4), "   1   2\n");
  // Only a name with no full stop anywhere in its path gets .prn (the entry
  // test's show it), a folder's full stop counts too.
  if (dir.path().string().find('.') == std::string::npos) {
    mkdir((dir / "v1.0").c_str(), 0755);
    EXPECT_EQ(written(dir, num(3), 4, 2, "v1.0/data"), " 3\n");
  }
}

TEST(WritePrn, RefusalsAndFailures) {
  ScratchDir dir;
  auto w = [&](int p, int width, const std::string& name = "a.txt") {
    return IO::WRITEPRN(dir.cwd(), p, width, str(name), mat({{1, 2}}));
  };
  for (int p : {17, 0, -20'000'000})
    EXPECT_RAISES(w(p, 8), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_RAISES(w(0, 0), "illegal PRNPRECISION", Kex::kWholeCall);
  for (int width : {0, 133})
    EXPECT_RAISES(w(4, width), "illegal PRNCOLWIDTH", Kex::kWholeCall);
  EXPECT_FALSE(std::filesystem::exists(dir / "a.txt"));
  EXPECT_RAISES(w(4, 8, "no/such/folder/a.txt"), std::strerror(ENOENT), 1u);
  mkdir((dir / "sub.d").c_str(), 0755);
  EXPECT_RAISES(w(4, 8, "sub.d"), "file open error", 1u);
  EXPECT_EQ(raised([&] { w(4, 8, "ftp://host/a.txt"); }).index, 1u);
}

// Values for every branch of %g: random bit patterns (NaN and infinities
// among them), subnormals, huge and tiny exponents, signed zeros, integers,
// decimals on rounding boundaries, values just below powers of ten.
double format_value(std::mt19937_64& rng) {
  std::uint64_t r = rng(), kind = rng() % 8, sub = r & 0x800FFFFFFFFFFFFFu;
  double bits, subnormal;
  std::memcpy(&bits, &r, sizeof bits);
  std::memcpy(&subnormal, &sub, sizeof subnormal);
  const double choices[] = {
      bits,
      subnormal,
      std::ldexp(static_cast<double>(r >> 11), static_cast<int>(r % 2000) - 1050),
      r % 2 ? 0.0 : -0.0,
      static_cast<double>(static_cast<std::int64_t>(r) >> (r % 60)),
      (static_cast<double>(r % 100000) + 0.5) / std::pow(10.0, static_cast<double>(r % 12)),
      std::nextafter(std::pow(10.0, static_cast<double>(r % 40) - 20), 0.0),
      (static_cast<double>(r % 2000001) - 1e6) / 1024.0};
  return choices[kind];
}

// A million values (the sanitizer build takes an eighth) over every precision
// and a spread of widths, from 1 (the width is a minimum) to 132, in tables of
// eight columns: the file must be what "% *.*g" and a newline per row give.
TEST(WritePrn, EveryFieldEqualsPrintf) {
  std::size_t total = std::size_t{1} << 20;
#if defined(__SANITIZE_ADDRESS__)
  total >>= 3;
#endif
  const int widths[] = {1, 2, 5, 8, 9, 12, 17, 23, 30, 132};
  const std::uint32_t cols = 8, rows = static_cast<std::uint32_t>(total / (16 * 4 * cols));
  ScratchDir dir;
  std::mt19937_64 rng(2024);
  char field[200];
  for (int precision = 1; precision <= 16; ++precision) {
    for (int k = 0; k < 4; ++k) {
      int width = widths[(precision * 3 + k * 7) % 10];
      auto m = Cvd::MatVal::Zeros(rows, cols);
      std::string want;
      for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::uint32_t c = 0; c < cols; ++c) {
          double v = m->real()[std::size_t{c} * rows + r] = format_value(rng);
          want.append(field, static_cast<std::size_t>(std::snprintf(field, sizeof field, "% *.*g",
                                                                    width, precision, v)));
        }
        want += '\n';
      }
      // Only the stretch around the first difference is shown.
      std::string got = written(dir, m, precision, width);
      auto at = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
      std::size_t from = static_cast<std::size_t>(std::max(at - 60, 0L));
      ASSERT_EQ(got.substr(from, 120), want.substr(from, 120)) << precision << " " << width;
    }
  }
}

using Names = std::vector<std::string>;

Ref append(const ScratchDir& dir, const std::string& name, const Ref& m, int precision = 4,
           int width = 8) {
  return IO::APPENDPRN(dir.cwd(), precision, width, str(name), m);
}

TEST(AppendPrn, JoinsRowsBelowTheTable) {
  ScratchDir dir;
  // A missing file is created with the new rows alone; then the whole table
  // is written again with the settings of each call.
  EXPECT_EQ(rows_of(append(dir, "t.txt", mat({{1, 2}, {3, 4}}))), (Rows{{1, 2}, {3, 4}}));
  EXPECT_EQ(rows_of(append(dir, "t.txt", mat({{5, 6}}), 3, 4)), (Rows{{1, 2}, {3, 4}, {5, 6}}));
  EXPECT_EQ(read_bytes(dir / "t.txt"), "   1   2\n   3   4\n   5   6\n");
  write_bytes(dir / "hand.txt", "// measured\ntime volts\n0.5 1e3\n1.5,2e3\n");
  append(dir, "hand.txt", mat({{2.5, 3e3}}), 4, 5);
  EXPECT_EQ(read_bytes(dir / "hand.txt"), "  0.5 1000\n  1.5 2000\n  2.5 3000\n");

  // Complex rows turn the file into the nested format; real rows join it.
  EXPECT_TRUE(as_matrix(append(dir, "t.txt", with_imag(mat({{1, 2}}), {0, -1})))->get_HasImag());
  Ref r = append(dir, "t.txt", mat({{7, 8}}));
  EXPECT_EQ(rows_of(r), (Rows{{1, 2}, {3, 4}, {5, 6}, {1, 2}, {7, 8}}));
  Ref back = read_prn(dir, "t.txt");
  EXPECT_EQ(rows_of(back), rows_of(r));
  EXPECT_EQ(as_matrix(back)->imag()[8], -1);
}

TEST(AppendPrn, RefusalsLeaveTheFileAlone) {
  ScratchDir dir;
  write_bytes(dir / "t.txt", "1 2\n3 4\n");
  EXPECT_RAISES(append(dir, "t.txt", mat({{1, 2, 3}})), "array size mismatch", Kex::kWholeCall);
  EXPECT_RAISES(append(dir, "t.txt", mat({{1, 2}}), 17), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_RAISES(append(dir, "t.txt", mat({{1, 2}}), 4, 0), "illegal PRNCOLWIDTH", Kex::kWholeCall);
  EXPECT_EQ(read_bytes(dir / "t.txt"), "1 2\n3 4\n");
  EXPECT_EQ(raised([&] { append(dir, "http://host/t.txt", mat({{1}})); }).index, Kex::kWholeCall);
  write_bytes(dir / "empty.txt", "");
  EXPECT_RAISES(append(dir, "empty.txt", mat({{1}})), "file i/o error", Kex::kWholeCall);
  EXPECT_RAISES(append(dir, "no/such/folder/t.txt", mat({{1}})), "file creation error", 1u);
  EXPECT_RAISES(append(dir, "x.txt", mat({{1}}), 0), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_EQ(entries(dir.path()), (Names{"empty.txt", "t.txt"}));
}

TEST(AppendPrn, RefusesATableTheReaderCannotReadWhole) {
  ScratchDir dir;
  // 2,000,000 rows of four values are the 8,000,000 the reader takes: one
  // more row can be appended, but then the table cannot be read whole, and
  // appending to it would drop rows. So would a line longer than the limit.
  std::string table;
  for (int i = 0; i < 2'000'000; ++i)
    table += "1 2 3 4\n";
  write_bytes(dir / "rows.txt", table);
  EXPECT_EQ(as_matrix(append(dir, "rows.txt", mat({{5, 6, 7, 8}}), 4, 1))->get_Rows(), 2'000'001u);
  table = read_bytes(dir / "rows.txt");
  std::string line;
  for (int i = 0; i < 8'000'001; ++i)
    line += "0 ";
  write_bytes(dir / "line.txt", line + "\n");
  for (const char* name : {"rows.txt", "line.txt"}) {
    std::string before = read_bytes(dir / name);
    EXPECT_RAISES(append(dir, name, mat({{5, 6, 7, 8}})),
                  "table too large to append: more than 8000000 values", Kex::kWholeCall);
    EXPECT_TRUE(read_bytes(dir / name) == before) << name << " changed";
  }
  EXPECT_EQ(entries(dir.path()), (Names{"line.txt", "rows.txt"}));
}

}  // namespace
