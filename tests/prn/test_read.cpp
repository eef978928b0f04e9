// READPRN of plain tables: separators, comments, number recognition and
// conversion (against strtod), errors, the value limit, and reading through
// a pipe.
#include <fcntl.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <thread>

#include "prn_test.h"

namespace {

using namespace prn_test;

TEST(ReadPrn, SeparatorsCommentsWordsAndNumbers) {
  ScratchDir dir;
  const std::pair<std::string, Rows> cases[] = {
      {"1 2 3\n4,5;6\n", {{1, 2, 3}, {4, 5, 6}}},
      {"time volts\n1 2\nx1 3 4\n", {{1, 2}, {3, 4}}},
      {"1/2 3\n", {{1, 2, 3}}},
      {"1 /\n2\n", {{1, 2}}},    // a lone slash takes whatever follows as a value
      {"1/,5,6 7\n", {{1, 7}}},  // ... so ",5,6" is a word
      {"// c\n1 2 // 9 9\n// 5 5 5\n\n\n3 4\r\n\n \t\n", {{1, 2}, {3, 4}}},
      {std::string("1,,2\n;;3\0;4", 12), {{1, 2}, {3, 4}}},
      {"1+2i\nNaN 5 inf nan 6 Infinity\n", {{1, 2}, {5, 6}}},
      // Control bytes (\x33 is "3") before a row are skipped, inside one they
      // start a word.
      {"1 2\n\x01\x02\x33 4\n", {{1, 2}, {3, 4}}},
      {"1 \x01\x33 2\n", {{1, 2}}},
      {"/x 1 2\n", {{1, 2}}},
      // 0x1A is 0 and the word x1A; the longest number prefix counts and the
      // rest is read afresh; an exponent without digits is not part of it.
      {"0x1A 1e x 2.5e 7E+2 -.5 +3. 1.2.3 1e+ -x . + 3-4 1e5e5\n",
       {{0, 1, 2.5, 700, -0.5, 3, 1.2, 0.3, 1, 3, -4, 1e5}}},
      {"-0 1e400 -1e400 1e-400 4.9e-324", {{-0.0, HUGE_VAL, -HUGE_VAL, 0, 4.9e-324}}},
  };
  for (const auto& [text, rows] : cases)
    EXPECT_EQ(rows_of(read_text(dir, text)), rows) << text;
  std::vector<double> zeros = rows_of(read_text(dir, "-0 -0.00e5"))[0];
  EXPECT_TRUE(std::signbit(zeros[0]) && std::signbit(zeros[1]));
}

TEST(ReadPrn, ErrorsAndTheirArguments) {
  ScratchDir dir;
  EXPECT_RAISES(read_prn(dir, "missing.prn"), "file open error", 1u);
  EXPECT_RAISES(read_prn(dir, "."), "file open error", 1u);  // the folder itself
  EXPECT_RAISES(read_text(dir, ""), "UnexpectedEOFinPRNfile", 1u);
  EXPECT_RAISES(read_text(dir, "// a comment\n\n  \n// another"), "UnexpectedEOFinPRNfile", 1u);
  EXPECT_RAISES(read_text(dir, "\n  // c\n7"), "file i/o error", 1u);
  EXPECT_RAISES(read_text(dir, "abc\n"), "file i/o error", Kex::kWholeCall);
  EXPECT_RAISES(read_text(dir, "1 2\n3\n"), "file i/o error", Kex::kWholeCall);
  // NUL bytes separate values: a device of them gives none, for ever.
  EXPECT_RAISES(read_prn(dir, "/dev/zero"), "file i/o error", Kex::kWholeCall);
  Raised url = raised([&] { read_prn(dir, "http://example.org/t.prn"); });
  EXPECT_EQ(url.index, 1u);
  EXPECT_NE(url.message.find("http"), std::string::npos) << url;
}

std::string repeated(const std::string& row, std::size_t times) {
  std::string s;
  for (std::size_t i = 0; i < times; ++i)
    s += row;
  return s;
}

TEST(ReadPrn, AtMostEightMillionValues) {
  ScratchDir dir;
  // The rows that would go past the limit are left out; that is no error.
  Ref m = read_text(dir, repeated("1 2 3 4\n", 2'000'001));
  EXPECT_EQ(as_matrix(m)->get_Rows(), 2'000'000u);
  EXPECT_EQ(as_matrix(m)->get_real(1'999'999, 3), 4.0);
  // A longer row that the values held leave no room for ends the table as
  // well; it is no row of another length.
  m = read_text(dir, repeated("1 2 3 4\n", 1'999'999) + "1 2 3 4 5\n");
  EXPECT_EQ(as_matrix(m)->get_Rows(), 1'999'999u);
  // A single row longer than the limit cannot be read; after a first row,
  // the table ends before it.
  EXPECT_RAISES(read_text(dir, repeated("1 ", 8'000'001)), "file i/o error", Kex::kWholeCall);
  Rows first_row{{5, 6}};
  EXPECT_EQ(rows_of(read_text(dir, "5 6\n" + repeated("1 ", 8'000'001) + "\n7 8\n")), first_row);
}

// Every seed of the fuzz corpus, and tables of lines of every kind that can
// meet where a file is divided: read_prn reads each in one part and divided
// among threads, and the outcomes must agree. Lone slashes at line ends join
// lines into one row, so no division may fall there.
TEST(ReadPrn, DividedAmongThreadsAsReadInOnePart) {
  ScratchDir dir;
  namespace fs = std::filesystem;
  int seeds = 0;
  for (const auto& e : fs::directory_iterator(KEXIO_SOURCE_DIR "/fuzz/corpus/prn")) {
    fs::copy_file(e.path(), dir.path() / "seed", fs::copy_options::overwrite_existing);
    raised([&] { read_prn(dir, "seed"); });
    ++seeds;
  }
  EXPECT_GT(seeds, 0);
  static const char* const lines[] = {"1 2 3\n",  "4,5;6\r\n",    "7 8 /\n",     "9 /  \n\n",
                                      "/\n",      "1 2 // c /\n", "words\n",     "\n",
                                      " \t\n",    "1 2\n",        "3 4 5 6\n",   "\x01\x02 1 2 3\n",
                                      "x/ 1 2\n", "1 2 3 //\n",   "-1e5 .5 +3\n"};
  std::mt19937 rng(17);
  int agreed_tables = 0;
  for (int t = 0; t < 300; ++t) {
    std::string text;
    int kinds = 2 + static_cast<int>(rng() % 14);
    for (int i = 0, n = 20 + static_cast<int>(rng() % 60); i < n; ++i)
      text += lines[rng() % static_cast<unsigned>(kinds)];
    write_bytes(dir / "t.txt", text);
    if (raised([&] { read_prn(dir, "t.txt"); }).message == "<nothing raised>") ++agreed_tables;
  }
  // Most tables hold rows of other lengths; some must read as tables.
  EXPECT_GT(agreed_tables, 10);
}

// Streams: 63 MiB may come between two values, more than 64 MiB end the
// reading with an error, inside a value too; a nested table from a stream
// holds at most 8,000,000 elements.
TEST(ReadPrn, StreamsGiveAtMost64MiBWithoutAValue) {
  ScratchDir dir;
  const std::size_t mib = std::size_t{1} << 20;
  const Rows read = {{1, 2}, {3, 4}};
  const std::pair<std::string, Rows> cases[] = {
      {"1" + std::string(63 * mib, '\0') + "2\n3 4\n", read},
      {"1" + std::string(65 * mib, '\0') + "2\n3 4\n", {}},
      {"1 2\n3 4" + std::string(65 * mib, '5') + "\n", {}},
      {".MATRIX 0 0 1 2\n 1 \"" + std::string(65 * mib, 'q') + "\"", {}},
      {".MATRIX 0 0 1 8000000\n" + repeated("1 ", 8'000'000), {std::vector<double>(8'000'000, 1)}},
      {".MATRIX 0 0 1 8000001\n" + repeated("1 ", 8'000'001), {}},
  };
  for (const auto& [bytes, rows] : cases) {
    std::thread writer = feed_fifo(dir / "fifo", bytes);
    Rows got;
    Raised r = raised([&] { got = rows_of(IO::READPRN(dir.cwd(), str("fifo"))); });
    writer.join();
    if (rows.empty()) {
      EXPECT_EQ(r, (Raised{"file i/o error", Kex::kWholeCall})) << bytes.substr(0, 40);
    } else {
      EXPECT_TRUE(got == rows) << bytes.substr(0, 40) << ": " << r;
    }
  }
}

// A random decimal number: up to 19 digits mostly, sometimes hundreds, a
// point anywhere, an exponent (signed or not) now and then, also at the
// edges of the range.
std::string random_number(std::mt19937_64& rng) {
  auto pct = [&] { return static_cast<int>(rng() % 100); };
  std::string s = pct() < 40 ? "-" : pct() < 5 ? "+" : "";
  int n = pct() < 10 ? 17 + pct() * 3 : 1 + pct() % 19, point = pct() < 70 ? pct() % (n + 1) : -1;
  for (int i = 0; i <= n; ++i) {
    if (i == point) s += '.';
    if (i < n) s += static_cast<char>('0' + pct() % 10);
  }
  if (pct() < 20) {
    int e = pct() < 50 ? pct() - 50 : pct() < 50 ? 290 + pct() % 30 : -300 - pct();
    s +=
        (pct() < 50 ? "e" : "E") + std::string(e >= 0 && pct() < 50 ? "+" : "") + std::to_string(e);
  }
  return s;
}

// Rows of five numbers with everything the reader must pass over between
// them (separators, words, comments, lone slashes, blank lines, CR LF) and,
// rarely, numbers and words far longer than any block of the reader. Every
// value must come out as strtod converts it, from a file and from a pipe.
TEST(ReadPrn, NoisyTablesFromFilesAndPipesGiveCorrectlyRoundedValues) {
  static const char* const seps[] = {" ", ",", ";", "\t", " , ", "/", " / ", "  ", "\v", "\f"};
  static const char* const words[] = {"abc", "NaN", "x1", "-x", ".", "e5", "inf", "#", "time"};
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> pct(0, 99), rare(0, 19999);
  constexpr int kRows = 60000, kCols = 5;
  std::string text;
  Rows want(kRows, std::vector<double>(kCols));
  for (auto& row : want) {
    if (pct(rng) < 10) text += pct(rng) < 50 ? "\n" : "// comment 1 2 3\n";
    for (int c = 0; c < kCols; ++c) {
      if (c > 0 || pct(rng) < 30) text += seps[pct(rng) % 10];
      if (pct(rng) < 10) text += std::string(words[pct(rng) % 9]) + " ";
      if (rare(rng) == 0) text += std::string(50'000 + rare(rng) * 50, 'w') + " ";
      std::string number =
          rare(rng) == 0 ? "1." + std::string(40'000, '3') + "e-2" : random_number(rng);
      row[c] = std::strtod(number.c_str(), nullptr);
      text += number;
    }
    text += pct(rng) < 70 ? "\n" : pct(rng) < 50 ? "\r\n" : " // note\n";
  }
  ScratchDir dir;
  EXPECT_TRUE(rows_of(read_text(dir, text)) == want);
  // A pipe hands the reader the bytes in small uneven pieces.
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
  EXPECT_TRUE(rows_of(piped) == want);
}

}  // namespace
