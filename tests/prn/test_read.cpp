// READPRN of plain tables: separators, comments, number recognition and
// conversion, errors, the value limit, reading through a pipe, and tables
// written by numpy.
#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "prn_test.h"

namespace {

using namespace prn_test;

TEST(ReadPrn, SeparatorsCommentsAndWords) {
  TempDir dir;
  EXPECT_EQ(rows_of(read_text(dir, "1 2 3\n4,5;6\n")), (Rows{{1, 2, 3}, {4, 5, 6}}));
  EXPECT_EQ(rows_of(read_text(dir, "time volts\n1 2\nx1 3 4\n")), (Rows{{1, 2}, {3, 4}}));
  // A lone slash separates, even when a line feed follows it.
  EXPECT_EQ(rows_of(read_text(dir, "1/2 3\n")), (Rows{{1, 2, 3}}));
  EXPECT_EQ(rows_of(read_text(dir, "1 /\n2\n")), (Rows{{1, 2}}));
  // A lone slash followed by a comma makes the comma start a word, which
  // swallows what is glued to it.
  EXPECT_EQ(rows_of(read_text(dir, "1/,5,6 7\n")), (Rows{{1, 7}}));
  EXPECT_EQ(rows_of(read_text(dir, "// header\n1 2 // note 9 9\n// 5 5 5\n3 4\n")),
            (Rows{{1, 2}, {3, 4}}));
  EXPECT_EQ(rows_of(read_text(dir, "\n\n  \n1 2\n\n\n3 4\n\n \t\n")), (Rows{{1, 2}, {3, 4}}));
  EXPECT_EQ(rows_of(read_text(dir, "1 2\r\n3 4\r\n")), (Rows{{1, 2}, {3, 4}}));
  EXPECT_EQ(rows_of(read_text(dir, "1,,2\n;;3,;4\n")), (Rows{{1, 2}, {3, 4}}));
  EXPECT_EQ(rows_of(read_text(dir, "1+2i\n")), (Rows{{1, 2}}));
  EXPECT_EQ(rows_of(read_text(dir, "NaN 5\ninf 6\n")), (Rows{{5}, {6}}));
  EXPECT_EQ(rows_of(read_text(dir, std::string("1\0002\n", 4))), (Rows{{1, 2}}));
  // Control characters before a row are skipped like white space; inside a
  // row they start a word.
  EXPECT_EQ(rows_of(read_text(dir,
                              "1 2\n\x01\x02"
                              "3 4\n")),
            (Rows{{1, 2}, {3, 4}}));
  EXPECT_EQ(rows_of(read_text(dir,
                              "1 \x01"
                              "3 2\n")),
            (Rows{{1, 2}}));
  EXPECT_EQ(rows_of(read_text(dir, "/x 1 2\n")), (Rows{{1, 2}}));
  // No final line feed.
  EXPECT_EQ(rows_of(read_text(dir, "1 2\n3 4")), (Rows{{1, 2}, {3, 4}}));
  EXPECT_EQ(rows_of(read_text(dir, "42\n")), (Rows{{42}}));
}

TEST(ReadPrn, NumbersAreDecimalAndTheLongestPrefixCounts) {
  TempDir dir;
  // 0x1A is 0 then the word x1A; "1e x" is 1 then the word e; 1.2.3 is 1.2
  // and .3; an exponent without digits is not part of the number.
  Ref m = read_text(dir, "0x1A 1e x 2.5e 7E+2 -.5 +3. 1.2.3 1e+ -x . +\n");
  EXPECT_EQ(rows_of(m), (Rows{{0, 1, 2.5, 700, -0.5, 3, 1.2, 0.3, 1}}));
  m = read_text(dir, "nan inf Infinity 0x10p3 -nan 1e5e5 3-4\n");
  EXPECT_EQ(rows_of(m), (Rows{{0, 1e5, 3, -4}}));
  m = read_text(dir, "-0 1e400 -1e400 1e-400 4.9e-324 2.4e-324\n");
  auto r = rows_of(m)[0];
  ASSERT_EQ(r.size(), 6u);
  EXPECT_TRUE(r[0] == 0 && std::signbit(r[0]));
  EXPECT_EQ(r[1], HUGE_VAL);
  EXPECT_EQ(r[2], -HUGE_VAL);
  EXPECT_EQ(r[3], 0.0);
  EXPECT_EQ(r[4], std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(r[5], 0.0);
}

// A random decimal number: digits with a point somewhere, an exponent now and
// then, sometimes very long, sometimes at the edges of the range.
std::string random_number(std::mt19937_64& rng) {
  std::uniform_int_distribution<int> digit(0, 9), coin(0, 99);
  std::string s;
  int sign = coin(rng);
  if (sign < 40) s += '-';
  if (sign >= 95) s += '+';
  int n = coin(rng) < 10 ? 17 + coin(rng) * 3 : 1 + coin(rng) % 19;
  int point = coin(rng) < 70 ? coin(rng) % (n + 1) : -1;
  for (int i = 0; i < n; ++i) {
    if (i == point) s += '.';
    s += static_cast<char>('0' + digit(rng));
  }
  if (point == n) s += '.';
  int kind = coin(rng);
  if (kind < 20) {
    s += kind < 10 ? 'e' : 'E';
    int e = coin(rng) < 50 ? coin(rng) - 50
                           : (coin(rng) < 50 ? 290 + coin(rng) % 30 : -(300 + coin(rng) % 45));
    s += std::to_string(e);
  }
  return s;
}

TEST(ReadPrn, ValuesAreCorrectlyRounded) {
  TempDir dir;
  std::mt19937_64 rng(7);
  constexpr int kRows = 20000, kCols = 10;
  std::string text;
  std::vector<double> expected;
  for (int r = 0; r < kRows; ++r) {
    for (int c = 0; c < kCols; ++c) {
      std::string s = random_number(rng);
      expected.push_back(std::strtod(s.c_str(), nullptr));
      text += s;
      text += c + 1 < kCols ? " " : "\n";
    }
  }
  Ref m = read_text(dir, text);
  ASSERT_EQ(as_mat(m)->get_Rows(), static_cast<std::uint32_t>(kRows));
  ASSERT_EQ(as_mat(m)->get_Cols(), static_cast<std::uint32_t>(kCols));
  int wrong = 0;
  for (int r = 0; r < kRows; ++r) {
    for (int c = 0; c < kCols; ++c) {
      double want = expected[static_cast<std::size_t>(r * kCols + c)];
      double got =
          as_mat(m)->get_real(static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c));
      if (std::memcmp(&want, &got, sizeof want) != 0 && ++wrong < 10) {
        ADD_FAILURE() << "row " << r << " column " << c << ": " << got << " != " << want;
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST(ReadPrn, ErrorsAndTheirArguments) {
  TempDir dir;
  EXPECT_RAISES(read_prn(dir, "missing.prn"), "file open error", 1u);
  mkdir((dir / "folder").c_str(), 0755);
  EXPECT_RAISES(read_prn(dir, "folder"), "file open error", 1u);
  EXPECT_RAISES(read_text(dir, ""), "UnexpectedEOFinPRNfile", 1u);
  EXPECT_RAISES(read_text(dir, "// only a comment\n\n  \n// another"), "UnexpectedEOFinPRNfile",
                1u);
  EXPECT_RAISES(read_text(dir, "7"), "file i/o error", 1u);
  EXPECT_RAISES(read_text(dir, "\n  // c\n7"), "file i/o error", 1u);
  EXPECT_RAISES(read_text(dir, "abc\n"), "file i/o error", Kex::kWholeCall);
  EXPECT_RAISES(read_text(dir, "1 2\n3\n"), "file i/o error", Kex::kWholeCall);
  Raised url = raised([&] { IO::READPRN(dir.cwd(), str("http://example.org/t.prn")); });
  EXPECT_EQ(url.index, 1u);
  EXPECT_NE(url.message.find("http"), std::string::npos) << url.message;
}

std::string repeated(const std::string& row, std::size_t times) {
  std::string s;
  s.reserve(row.size() * times);
  for (std::size_t i = 0; i < times; ++i)
    s += row;
  return s;
}

TEST(ReadPrn, AtMostEightMillionValues) {
  TempDir dir;
  // The rows that would go past the limit are not read; that is no error.
  Ref m = read_text(dir, repeated("1 2 3 4\n", 2'000'001));
  EXPECT_EQ(as_mat(m)->get_Rows(), 2'000'000u);
  EXPECT_EQ(as_mat(m)->get_Cols(), 4u);
  EXPECT_EQ(as_mat(m)->get_real(1'999'999, 3), 4.0);
  // The limit is tested before the row's length: a short row past it ends
  // the table quietly.
  m = read_text(dir, repeated("5 6 7\n", 2'666'666) + "8\n");
  EXPECT_EQ(as_mat(m)->get_Rows(), 2'666'666u);
  // A single row longer than the limit cannot be read.
  EXPECT_RAISES(read_text(dir, repeated("1 ", 8'000'001) + "\n"), "file i/o error",
                Kex::kWholeCall);
}

// A table whose rows have a fixed number of values with every kind of thing
// the reader must pass over between them: separators, words, comments, lone
// slashes, blank lines, CR LF, and long numbers and words that cross any
// block boundary.
std::string noisy_table(std::mt19937_64& rng, std::vector<double>& values, int rows, int cols) {
  static const char* const seps[] = {" ", ",", ";", "\t", " , ", "/", " / ", "  ", "\v", "\f"};
  static const char* const words[] = {"abc", "NaN", "x1", "-x", ".", "e5", "inf", "#", "time"};
  std::uniform_int_distribution<int> pct(0, 99), rare(0, 19999);
  std::string s;
  for (int r = 0; r < rows; ++r) {
    if (pct(rng) < 10) s += pct(rng) < 50 ? "\n" : "// comment 1 2 3\n";
    for (int c = 0; c < cols; ++c) {
      if (c > 0 || pct(rng) < 30) s += seps[pct(rng) % 10];
      if (pct(rng) < 10) {
        s += words[pct(rng) % 9];
        s += ' ';
      }
      if (rare(rng) == 0) {
        // A word far longer than a block of the reader.
        s += std::string(static_cast<std::size_t>(50'000 + pct(rng) * 1000), 'w');
        s += ' ';
      }
      std::string number = random_number(rng);
      if (rare(rng) == 0) number = "1." + std::string(40'000, '3') + "e-2";
      values.push_back(std::strtod(number.c_str(), nullptr));
      s += number;
    }
    int end = pct(rng);
    s += end < 70 ? "\n" : end < 85 ? "\r\n" : " // trailing note\n";
  }
  return s;
}

void expect_values(const Ref& m, const std::vector<double>& values, int rows, int cols) {
  ASSERT_NE(as_mat(m), nullptr);
  ASSERT_EQ(as_mat(m)->get_Rows(), static_cast<std::uint32_t>(rows));
  ASSERT_EQ(as_mat(m)->get_Cols(), static_cast<std::uint32_t>(cols));
  int wrong = 0;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      double want = values[static_cast<std::size_t>(r * cols + c)];
      double got =
          as_mat(m)->get_real(static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c));
      if (std::memcmp(&want, &got, sizeof want) != 0) ++wrong;
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST(ReadPrn, LargeNoisyTablesFromFilesAndPipes) {
  TempDir dir;
  std::mt19937_64 rng(11);
  constexpr int kRows = 60000, kCols = 5;
  std::vector<double> values;
  std::string text = noisy_table(rng, values, kRows, kCols);
  ASSERT_GT(text.size(), std::size_t{3} << 20);
  expect_values(read_text(dir, text), values, kRows, kCols);

  // Through a pipe, which hands the reader the bytes in small uneven pieces.
  std::string fifo = dir / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    int fd = open(fifo.c_str(), O_WRONLY);
    std::mt19937 pieces(3);
    std::uniform_int_distribution<std::size_t> size(1, 700);
    for (std::size_t at = 0; at < text.size();) {
      std::size_t n = std::min(size(pieces), text.size() - at);
      ssize_t k = write(fd, text.data() + at, n);
      if (k <= 0) break;
      at += static_cast<std::size_t>(k);
      std::this_thread::yield();
    }
    close(fd);
  });
  Ref m = read_prn(dir, "pipe");
  writer.join();
  expect_values(m, values, kRows, kCols);
}

TEST(ReadPrn, NumpySavetxtTablesReadAsLoadtxtReadsThem) {
  if (!have_python_module("numpy")) GTEST_SKIP() << "/usr/bin/python3 with numpy is missing";
  TempDir dir;
  // Each case: file name, savetxt format, delimiter; loadtxt's result goes to
  // <name>.bin (float64, row-major) with its shape in <name>.shape.
  std::string script = R"PY(
import sys, numpy as np
folder = sys.argv[1]
rng = np.random.default_rng(5)
base = rng.standard_normal((300, 6)) * 10.0 ** rng.integers(-12, 12, (300, 6))
cases = [("e18", "%.18e", " "), ("ints", "%d", ","), ("fixed", "%10.5f", "\t"),
         ("g", "%g", ";"), ("e3", "%.3e", ", "), ("r", "%.17g", " ")]
for name, fmt, delim in cases:
    data = np.round(base) if fmt == "%d" else base
    path = folder + "/" + name + ".txt"
    np.savetxt(path, data, fmt=fmt, delimiter=delim, header="time volts current", comments="# ")
    got = np.loadtxt(path, delimiter=delim.strip() or None)
    got.astype("<f8").tofile(folder + "/" + name + ".bin")
    open(folder + "/" + name + ".shape", "w").write("%d %d" % got.shape)
)PY";
  write_file(dir / "make.py", script);
  ASSERT_EQ(std::system(("/usr/bin/python3 " + (dir / "make.py") + " " + dir.path()).c_str()), 0);
  for (const char* name : {"e18", "ints", "fixed", "g", "e3", "r"}) {
    SCOPED_TRACE(name);
    unsigned rows = 0, cols = 0;
    ASSERT_EQ(
        std::sscanf(read_file(dir / (std::string(name) + ".shape")).c_str(), "%u %u", &rows, &cols),
        2);
    std::string bin = read_file(dir / (std::string(name) + ".bin"));
    ASSERT_EQ(bin.size(), std::size_t{rows} * cols * 8);
    Ref m = read_prn(dir, std::string(name) + ".txt");
    ASSERT_EQ(as_mat(m)->get_Rows(), rows);
    ASSERT_EQ(as_mat(m)->get_Cols(), cols);
    int wrong = 0;
    for (unsigned r = 0; r < rows; ++r) {
      for (unsigned c = 0; c < cols; ++c) {
        double want;
        std::memcpy(&want, bin.data() + (std::size_t{r} * cols + c) * 8, 8);
        if (as_mat(m)->get_real(r, c) != want) ++wrong;
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

}  // namespace
