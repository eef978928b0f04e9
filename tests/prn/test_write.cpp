// WRITEPRN: the bytes of numbers, the settings, the file name, open and write
// failures, and every field against printf. APPENDPRN: rows joined below the
// table in the file, the refusals, and the replacement of the file that keeps
// the old table when writing fails, keeps the file's permissions and updates
// the target of a symbolic link.
#include <sys/resource.h>

#include <cmath>
#include <csignal>
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
  // A name with no full stop anywhere in its path gets .prn.
  if (dir.path().string().find('.') == std::string::npos) {
    written(dir, num(1), 4, 2, "data");
    EXPECT_EQ(read_bytes(dir / "data.prn"), " 1\n");
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

Names entries(const ScratchDir& dir) {
  Names names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
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
  EXPECT_TRUE(as_mat(append(dir, "t.txt", with_imag(mat({{1, 2}}), {0, -1})))->get_HasImag());
  Ref r = append(dir, "t.txt", mat({{7, 8}}));
  EXPECT_EQ(rows_of(r), (Rows{{1, 2}, {3, 4}, {5, 6}, {1, 2}, {7, 8}}));
  Ref back = read_prn(dir, "t.txt");
  EXPECT_EQ(rows_of(back), rows_of(r));
  EXPECT_EQ(as_mat(back)->imag()[8], -1);
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
  EXPECT_EQ(entries(dir), (Names{"empty.txt", "t.txt"}));
}

TEST(AppendPrn, KeepsPermissionsOwnerAndLinks) {
  ScratchDir dir;
  write_bytes(dir / "t.txt", "1\n");
  ASSERT_EQ(chmod((dir / "t.txt").c_str(), 0640), 0);
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown((dir / "t.txt").c_str(), 65534, 65534), 0);
  }
  append(dir, "t.txt", mat({{2}}));
  struct stat st {};
  ASSERT_EQ(stat((dir / "t.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_TRUE(!root || (st.st_uid == 65534u && st.st_gid == 65534u));
  // Through a relative symbolic link into another folder: the link stays and
  // its target gets the table.
  mkdir((dir / "data").c_str(), 0755);
  write_bytes(dir / "data/target.txt", "1 2\n");
  ASSERT_EQ(symlink("data/target.txt", (dir / "link.txt").c_str()), 0);
  append(dir, "link.txt", mat({{3, 4}}));
  EXPECT_EQ(std::filesystem::read_symlink(dir / "link.txt"), "data/target.txt");
  EXPECT_EQ(rows_of(read_prn(dir, "data/target.txt")), (Rows{{1, 2}, {3, 4}}));
  EXPECT_EQ(entries(dir), (Names{"data", "link.txt", "t.txt"}));
}

TEST(AppendPrn, FailedWriteKeepsTheOldTable) {
  ScratchDir dir;
  std::string table;
  for (int i = 0; i < 200; ++i)
    table += std::to_string(i) + " " + std::to_string(i * i) + "\n";
  write_bytes(dir / "t.txt", table);
  // Limited to files of 4 KB (the write fails instead of raising SIGXFSZ),
  // the joined table cannot be written.
  EXPECT_TRUE(in_child([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    return raised([&] { append(dir, "t.txt", Cvd::MatVal::Zeros(1000, 2)); }) ==
           Raised{"file append error", Kex::kWholeCall};
  })) << "no \"file append error\"";
  EXPECT_EQ(read_bytes(dir / "t.txt"), table);
  EXPECT_EQ(entries(dir), (Names{"t.txt"}));
}

}  // namespace
