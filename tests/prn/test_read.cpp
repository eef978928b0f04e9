// READPRN of plain tables: separators, comments, number recognition and
// conversion, errors, the value limit, reading through a pipe, and tables
// written by numpy.
#include <fcntl.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "prn_test.h"

namespace {

using namespace prn_test;

TEST(ReadPrn, SeparatorsCommentsWordsAndNumbers) {
  TempDir dir;
  const std::pair<std::string, Rows> cases[] = {
      {"1 2 3\n4,5;6\n", {{1, 2, 3}, {4, 5, 6}}},
      {"time volts\n1 2\nx1 3 4\n", {{1, 2}, {3, 4}}},
      {"1/2 3\n", {{1, 2, 3}}},
      {"1 /\n2\n", {{1, 2}}},    // a lone slash takes whatever follows as a value
      {"1/,5,6 7\n", {{1, 7}}},  // ... so ",5,6" is a word
      {"// c\n1 2 // 9 9\n// 5 5 5\n\n\n3 4\r\n\n \t\n", {{1, 2}, {3, 4}}},
      {std::string("1,,2\n;;3\0;4", 12), {{1, 2}, {3, 4}}},
      {"1+2i\nNaN 5 inf nan 6 Infinity\n", {{1, 2}, {5, 6}}},
      {"1 2\n\x01\x02"
       "3 4\n",
       {{1, 2}, {3, 4}}},  // control bytes before a row are skipped
      {"1 \x01"
       "3 2\n",
       {{1, 2}}},  // inside a row they start a word
      {"/x 1 2\n", {{1, 2}}},
      // 0x1A is 0 and the word x1A; the longest number prefix counts and the
      // rest is read afresh; an exponent without digits is not part of it.
      {"0x1A 1e x 2.5e 7E+2 -.5 +3. 1.2.3 1e+ -x . + 3-4 1e5e5\n",
       {{0, 1, 2.5, 700, -0.5, 3, 1.2, 0.3, 1, 3, -4, 1e5}}},
  };
  for (const auto& [text, rows] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(rows_of(read_text(dir, text)), rows);
  }
  auto r = rows_of(read_text(dir, "-0 1e400 -1e400 1e-400 4.9e-324"))[0];
  EXPECT_TRUE(r[0] == 0 && std::signbit(r[0]));
  EXPECT_EQ(r, (std::vector<double>{0, HUGE_VAL, -HUGE_VAL, 0, 4.9e-324}));
}

TEST(ReadPrn, ErrorsAndTheirArguments) {
  TempDir dir;
  EXPECT_RAISES(read_prn(dir, "missing.prn"), "file open error", 1u);
  mkdir((dir / "folder").c_str(), 0755);
  EXPECT_RAISES(read_prn(dir, "folder"), "file open error", 1u);
  EXPECT_RAISES(read_text(dir, ""), "UnexpectedEOFinPRNfile", 1u);
  EXPECT_RAISES(read_text(dir, "// a comment\n\n  \n// another"), "UnexpectedEOFinPRNfile", 1u);
  EXPECT_RAISES(read_text(dir, "\n  // c\n7"), "file i/o error", 1u);
  EXPECT_RAISES(read_text(dir, "abc\n"), "file i/o error", Kex::kWholeCall);
  EXPECT_RAISES(read_text(dir, "1 2\n3\n"), "file i/o error", Kex::kWholeCall);
  auto url = raised([&] { read_prn(dir, "http://example.org/t.prn"); });
  EXPECT_EQ(url.second, 1u);
  EXPECT_NE(url.first.find("http"), std::string::npos) << url.first;
}

std::string repeated(const std::string& row, std::size_t times) {
  std::string s;
  for (std::size_t i = 0; i < times; ++i)
    s += row;
  return s;
}

TEST(ReadPrn, AtMostEightMillionValues) {
  TempDir dir;
  // The rows that would go past the limit are left out; that is no error.
  Ref m = read_text(dir, repeated("1 2 3 4\n", 2'000'001));
  EXPECT_EQ(as_mat(m)->get_Rows(), 2'000'000u);
  EXPECT_EQ(as_mat(m)->get_real(1'999'999, 3), 4.0);
  // A single row longer than the limit cannot be read.
  EXPECT_RAISES(read_text(dir, repeated("1 ", 8'000'001)), "file i/o error", Kex::kWholeCall);
}

// A random decimal number: up to 19 digits mostly, sometimes hundreds, a
// point anywhere, an exponent now and then, also at the edges of the range.
std::string random_number(std::mt19937_64& rng) {
  std::uniform_int_distribution<int> pct(0, 99);
  std::string s = pct(rng) < 40 ? "-" : pct(rng) < 5 ? "+" : "";
  int n = pct(rng) < 10 ? 17 + pct(rng) * 3 : 1 + pct(rng) % 19;
  int point = pct(rng) < 70 ? pct(rng) % (n + 1) : -1;
  for (int i = 0; i < n; ++i) {
    if (i == point) s += '.';
    s += static_cast<char>('0' + pct(rng) % 10);
  }
  if (point == n) s += '.';
  if (pct(rng) < 20) {
    int e = pct(rng) < 50 ? pct(rng) - 50 : pct(rng) < 50 ? 290 + pct(rng) % 30 : -300 - pct(rng);
    s += (pct(rng) < 50 ? "e" : "E") + std::to_string(e);
  }
  return s;
}

// Rows of five numbers with everything the reader must pass over between
// them (separators, words, comments, lone slashes, blank lines, CR LF) and,
// rarely, numbers and words far longer than any block of the reader. Every
// value must come out as strtod converts it.
TEST(ReadPrn, NoisyTablesFromFilesAndPipesGiveCorrectlyRoundedValues) {
  static const char* const seps[] = {" ", ",", ";", "\t", " , ", "/", " / ", "  ", "\v", "\f"};
  static const char* const words[] = {"abc", "NaN", "x1", "-x", ".", "e5", "inf", "#", "time"};
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> pct(0, 99), rare(0, 19999);
  constexpr int kRows = 60000, kCols = 5;
  std::string text;
  std::vector<double> values;
  for (int r = 0; r < kRows; ++r) {
    if (pct(rng) < 10) text += pct(rng) < 50 ? "\n" : "// comment 1 2 3\n";
    for (int c = 0; c < kCols; ++c) {
      if (c > 0 || pct(rng) < 30) text += seps[pct(rng) % 10];
      if (pct(rng) < 10) text += std::string(words[pct(rng) % 9]) + " ";
      if (rare(rng) == 0) text += std::string(50'000 + rare(rng) * 50, 'w') + " ";
      std::string number =
          rare(rng) == 0 ? "1." + std::string(40'000, '3') + "e-2" : random_number(rng);
      values.push_back(std::strtod(number.c_str(), nullptr));
      text += number;
    }
    text += pct(rng) < 70 ? "\n" : pct(rng) < 50 ? "\r\n" : " // note\n";
  }
  auto check = [&](const Ref& m) {
    ASSERT_EQ(as_mat(m)->get_Rows(), static_cast<std::uint32_t>(kRows));
    ASSERT_EQ(as_mat(m)->get_Cols(), static_cast<std::uint32_t>(kCols));
    int wrong = 0;
    for (std::uint32_t i = 0; i < values.size(); ++i) {
      double got = as_mat(m)->get_real(i / kCols, i % kCols);
      wrong += std::memcmp(&got, &values[i], sizeof got) != 0;
    }
    EXPECT_EQ(wrong, 0);
  };
  TempDir dir;
  check(read_text(dir, text));
  // Through a pipe, which hands the reader the bytes in small uneven pieces.
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  std::thread writer([&] {
    int fd = open((dir / "pipe").c_str(), O_WRONLY);
    std::mt19937 pieces(3);
    for (std::size_t at = 0, n; at < text.size(); at += n) {
      n = std::min<std::size_t>(1 + pieces() % 700, text.size() - at);
      if (write(fd, text.data() + at, n) != static_cast<ssize_t>(n)) break;
      std::this_thread::yield();
    }
    close(fd);
  });
  Ref piped = read_prn(dir, "pipe");
  writer.join();
  check(piped);
}

TEST(ReadPrn, NumpySavetxtTablesReadAsLoadtxtReadsThem) {
  if (access("/usr/bin/python3", X_OK) != 0 ||
      std::system("/usr/bin/python3 -c 'import numpy' 2>/dev/null") != 0) {
    GTEST_SKIP() << "/usr/bin/python3 with numpy is missing";
  }
  TempDir dir;
  // loadtxt's result goes to <name>.bin as float64, row by row.
  write_file(dir / "make.py", R"(
import sys, numpy as np
rng = np.random.default_rng(5)
base = rng.standard_normal((300, 6)) * 10.0 ** rng.integers(-12, 12, (300, 6))
for name, fmt, delim in [("e18", "%.18e", " "), ("ints", "%d", ","), ("fixed", "%10.5f", "\t"),
                         ("g", "%g", ";"), ("e3", "%.3e", ", "), ("r", "%.17g", " ")]:
    path = sys.argv[1] + "/" + name
    np.savetxt(path + ".txt", np.round(base) if fmt == "%d" else base, fmt=fmt, delimiter=delim,
               header="time volts current")
    np.loadtxt(path + ".txt", delimiter=delim.strip() or None).astype("<f8").tofile(path + ".bin")
)");
  ASSERT_EQ(std::system(("/usr/bin/python3 " + (dir / "make.py") + " " + dir.path()).c_str()), 0);
  for (std::string name : {"e18", "ints", "fixed", "g", "e3", "r"}) {
    SCOPED_TRACE(name);
    std::string bin = read_file(dir / (name + ".bin"));
    std::vector<double> want(bin.size() / 8);
    std::memcpy(want.data(), bin.data(), bin.size());
    Ref m = read_prn(dir, name + ".txt");
    ASSERT_EQ(as_mat(m)->get_Rows() * 6u, want.size());
    ASSERT_EQ(as_mat(m)->get_Cols(), 6u);
    int wrong = 0;
    for (std::uint32_t i = 0; i < want.size(); ++i)
      wrong += as_mat(m)->get_real(i / 6, i % 6) != want[i];
    EXPECT_EQ(wrong, 0);
  }
}

}  // namespace
