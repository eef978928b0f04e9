// READFILE: the argument checks of the entry layer, and what the data-import
// library makes of files of every type word, each written for the case.
#include <cstdlib>
#include <thread>

#include "readfile_test.h"

namespace {

using namespace readfile_test;
using IO = Kex::IO;

TEST(ReadFileEntry, ChecksInOrderBeforeAnyFileIsOpened) {
  ScratchDir dir;
  auto text_element = mat({{2}, {3}});
  text_element->m_parr = std::make_shared<Cvd::Table>();
  (*text_element->m_parr)[0] = str("t");
  text_element->real()[0] = Cvd::NestedSlot();
  const Ref f = str("missing.csv");
  const std::pair<std::vector<Ref>, Raised> cases[] = {
      {{f}, {"too_few_arguments\t2\t1", Kex::kWholeCall}},
      {std::vector<Ref>(7, f), {"too_many_arguments\t6\t7", Kex::kWholeCall}},
      {{f, str("csv"), num(1), num(1), num(1), num(1)},
       {"too_many_arguments\t5\t6", Kex::kWholeCall}},
      {{f, str("csv"), mat({{5}, {2}})}, {"upper bound must be bigger", 3}},
      {{f, str("csv"), mat({{0}, {4}})}, {"must be positive integer", 3}},
      {{f, str("csv"), num(0)}, {"must be positive integer", 3}},
      {{f, str("csv"), mat({{1}, {2}, {3}})}, {"invalid range", 3}},
      {{f, str("csv"), num(2.5)}, {"must be integer", 3}},
      {{f, str("csv"), num(2, 1)}, {"must be integer", 3}},
      // Within 1e-10 of a 32-bit integer, not below 1 in size.
      {{f, str("csv"), num(1e-300)}, {"must be integer", 3}},
      {{f, str("csv"), num(3e9)}, {"must be integer", 3}},
      {{f, str("csv"), num(-3e9)}, {"must be integer", 3}},
      {{f, str("csv"), mat({{1, 2}})}, {"must be a scalar or a vector", 3}},
      {{f, str("csv"), str("1")}, {"must be a scalar or a vector", 3}},
      {{f, str("csv"), num(1), text_element}, {"must be positive integer", 4}},
      {{f, str("csv"), num(1), num(1), mat({{1}})}, {"must be a string or a scalar", 5}},
      {{f, str("fixed"), mat({{1, 2}})}, {"must be integer vector", 3}},
      {{f, str("fixed"), mat({{1.5}})}, {"must be integer vector", 3}},
      {{f, str("FIXED"), num(1)}, {"must be integer vector", 3}},
      {{f, str("fixed"), with_imag(mat({{1}}), {1})}, {"must be integer vector", 3}},
      {{f, str("fixed"), mat({{1}}), num(1), num(1), mat({{1}})},
       {"must be a string or a scalar", 6}},
      // Every check passed: the library opens the file.
      {{f, str("Fixed"), mat({{1}}), mat({{3}, {3}}), num(1), str("-")}, {"file open error", 1}},
      {{f, str("csv"), num(2.00000000001)}, {"file open error", 1}},
  };
  for (const auto& [args, want] : cases)
    EXPECT_EQ(raised([&] { IO::READFILE(dir.cwd(), args); }), want) << want.message;
}

struct Case {
  const char* bytes;
  std::vector<Ref> args;  // the type word and what follows it
  const char* want;
};

// A file's bytes and READFILE's arguments after the name: what it gives.
TEST(ReadFile, FilesOfEveryTypeWord) {
  const char* table = "h1,h2,h3\n1,2\n\n3,,4,5\n6\n";
  const Case cases[] = {
      {"1,2,3\n4,5,6\n", {str("CSV")}, "2x3: 1, 2, 3; 4, 5, 6"},
      {"a\tb c\t3\n1\t\t-2\n", {str("tsv")}, "2x3: 'a', 'b c', 3; 1, nan, -2"},
      {"a\tb c\t3\n", {str("tab")}, "1x3: 'a', 'b c', 3"},
      {"  1   2\tx \n3 4 \"a b\"\n", {str("space")}, "2x3: 1, 2, 'x'; 3, 4, 'a b'"},
      // Numbers with blanks around them, signs, exponents, the words for NaN
      // and infinity in any case; anything else is a text kept as written.
      {" 1.5e3 ,-.5,+2,1.,7E-1,NaN,-inf,Infinity,INF\n",
       {str("csv")},
       "1x9: 1500, -0.5, 2, 1, 0.7, nan, -inf, inf, inf"},
      {"1e,0x10,1.2.3,--1,1 2,e5,., x\n",
       {str("csv")},
       "1x8: '1e', '0x10', '1.2.3', '--1', '1 2', 'e5', '.', ' x'"},
      // The delimiter of "delimited" files: semicolons bring decimal commas.
      {"1,5;2\n3;4,25e1\n", {str("delimited")}, "2x2: 1.5, 2; 3, 42.5"},
      {"a|b\n1|2\n", {str("delimited")}, "2x2: 'a', 'b'; 1, 2"},
      {"1, 2, 3\n4, 5, 6\n", {str("delimited")}, "2x3: 1, 2, 3; 4, 5, 6"},
      {"1 2 3\n4  5 6\n", {str("delimited")}, "2x3: 1, 2, 3; 4, 5, 6"},
      {"x\t1,5\ny\t2,5\n", {str("delimited")}, "2x2: 'x', '1,5'; 'y', '2,5'"},
      // Fixed widths count characters; the rest of a line is ignored and a
      // short line's missing fields are empty.
      {"  1abc 2.5xyz\n 10 de\n\xC3\xA9t\xC3\xA9"
       "12\n",
       {str("fixed"), mat({{3}, {3}, {4}})},
       "3x3: 1, 'abc', 2.5; 10, 'de', nan; '\\u{E9}t\\u{E9}', 12, nan"},
      // Quoting, line ends and encoding.
      {"\"a,b\",\"say \"\"hi\"\"\"\n\"two\nlines\",\" 12 \"\n\"\",\"x\" , "
       "\"y\"\n",
       {str("csv")},
       "3x3: 'a,b', 'say \"hi\"', nan; 'two\\u{A}lines', 12, nan; nan, 'x', "
       "'y'"},
      {"1,2\r\n\"a\r\nb\",x\ry\r\n\r\n", {str("csv")}, "2x2: 1, 2; 'a\\u{A}b', 'x\\u{D}y'"},
      {"\xEF\xBB\xBFh,1\n", {str("csv")}, "1x2: 'h', 1"},
      // UTF-8 where valid, else each byte as Latin-1; a character beyond the
      // first plane becomes a surrogate pair.
      {"caf\xC3\xA9,\xE9t\xE9,\xF0\x9F\x98\x80,\xC0\xAF,\xED\xA0\x80\n",
       {str("csv")},
       "1x5: 'caf\\u{E9}', '\\u{E9}t\\u{E9}', '\\u{D83D}\\u{DE00}', "
       "'\\u{C0}\\u{AF}', "
       "'\\u{ED}\\u{A0}\\u{80}'"},
      {"a,\"b\nc,d\n", {str("csv")}, "error: malformed quoting in line 1 at 1"},
      {"1\n\n\"a\"b,2\n", {str("csv")}, "error: malformed quoting in line 3 at 1"},
      {"1 \"a\"b\n", {str("space")}, "error: malformed quoting in line 1 at 1"},
      // Rows, ranges and replacements.
      {table,
       {str("csv")},
       "4x4: 'h1', 'h2', 'h3', nan; 1, 2, nan, nan; 3, nan, 4, 5; 6, nan, nan, "
       "nan"},
      {table, {str("csv"), num(2), num(2), num(0)}, "3x3: 2, 0, 0; 0, 4, 5; 0, 0, 0"},
      {table, {str("csv"), mat({{3}, {3}}), mat({{2}, {3.9}})}, "1x2: nan, 4"},
      {table,
       {str("csv"), num(3), num(1), num(1, -2)},
       "2x4: 3+0i, 1-2i, 4+0i, 5+0i; 6+0i, 1-2i, 1-2i, 1-2i"},
      {table, {str("csv"), num(2), num(3), str("n/a")}, "3x2: 'n/a', 'n/a'; 4, 5; 'n/a', 'n/a'"},
      {"a,1\n", {str("csv"), num(1), num(1), num(0, 1)}, "1x2: 'a', 1"},
      {table, {str("csv"), num(5)}, "error: the file has only 4 rows at 3"},
      {table, {str("csv"), num(2), num(5)}, "error: the file has only 4 columns at 4"},
      {table, {str("csv"), mat({{2}, {2}}), num(3)}, "error: the file has only 2 columns at 4"},
      {"1 2\n", {str("fixed"), mat({{2}, {2}}), num(2)}, "error: the file has only 1 row at 4"},
      {"1 2\n",
       {str("fixed"), mat({{2}, {2}}), num(1), num(3)},
       "error: the file has only 2 columns at 5"},
      {"", {str("csv"), num(1)}, "error: the file has no rows at 3"},
      {"x\n", {str("fixed"), mat({{1}}), num(1), num(1), str("")}, "1x1: 'x'"},
      {"1,\n", {str("csv"), num(1), num(1), str("")}, "1x2: 1, ''"},
      // Nothing to read: 0 rows; an empty schema: rows of 0 columns.
      {"", {str("csv")}, "0x0:"},
      {"\xEF\xBB\xBF\n \r\n\t\n", {str("csv")}, "0x0:"},
      {"abc\n\ndef\n", {str("fixed"), Cvd::MatVal::Zeros(0, 1)}, "2x0: ; "},
      {"1\n",
       {str("xls")},
       "error: unknown file type (csv, tsv, tab, space, delimited or fixed) at "
       "2"},
      {"1\n", {str("fixed")}, "error: fixed needs a schema of field widths at 2"},
      {"1\n", {str("fixed"), mat({{2}, {0}})}, "error: field widths must be positive at 3"},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    std::string got;
    try {
      got = shown(read(dir, c.bytes, c.args));
    } catch (const Kex::Exception& e) {
      got = "error: " + e.message() + " at " + std::to_string(e.index());
    }
    EXPECT_EQ(got, c.want) << c.bytes;
  }
  for (const char* name : {"missing.csv", ".", "http://example.com/a.csv"}) {
    Raised r = raised([&] { IO::READFILE(dir.cwd(), {str(name), str("csv")}); });
    EXPECT_EQ(r.index, 1u) << name;
    EXPECT_NE(r.message.find(name[0] == 'h' ? "http" : "file open error"), std::string::npos);
  }
}

TEST(ReadFile, LargeInputsAndPipes) {
  ScratchDir dir;
  // More rows than other readers allow, a field of megabytes, a number of a
  // thousand digits.
  std::string rows;
  for (int i = 0; i < 2700000; ++i)
    rows += "7,8,9\n";
  Ref many = read(dir, rows + "1,2,3\n", {str("csv")});
  auto* m = dynamic_cast<Cvd::MatVal*>(many.get());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->get_Rows(), 2700001u);
  EXPECT_EQ(m->get_real(2700000, 2), 3);
  std::string field(3 << 20, 'q');
  field[12345] = ',';
  field[54321] = '\n';
  std::string digits = "9" + std::string(999, '7') + "e-990";
  Ref big = read(dir, "\"" + field + "\"," + digits + "\n", {str("csv")});
  m = dynamic_cast<Cvd::MatVal*>(big.get());
  ASSERT_NE(m, nullptr);
  Cvd::NumVal n;
  auto* s = dynamic_cast<Cvd::StrVal*>(m->get_2_na(n, 0, 0).get());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Vrt::StringToRawBytes(s->m_str), field);
  EXPECT_EQ(m->get_real(0, 1), std::strtod(digits.c_str(), nullptr));

  // Many texts, some repeated: each element holds its own text.
  std::string words;
  for (int i = 0; i < 40000; ++i)
    words += "w" + std::to_string(i % 1000) + ",x" + std::to_string(i) + "\n";
  Ref texts = read(dir, words, {str("csv"), num(39999)});
  EXPECT_EQ(shown(texts), "2x2: 'w998', 'x39998'; 'w999', 'x39999'");
  std::string want = "40000x2:";
  for (int i = 0; i < 40000; ++i)
    want +=
        (i == 0 ? " 'w" : "; 'w") + std::to_string(i % 1000) + "', 'x" + std::to_string(i) + "'";
  EXPECT_TRUE(shown(read(dir, words, {str("csv")})) == want);

  // A pipe is read to its end like a file; its first NUL byte ends it.
  std::thread writer = feed_fifo(dir / "fifo", rows + "1,2,3\n");
  Ref piped = IO::READFILE(dir.cwd(), {str("fifo"), str("csv"), num(2700001)});
  writer.join();
  EXPECT_EQ(shown(piped), "1x3: 1, 2, 3");
  writer = feed_fifo(dir / "fifo", "1,2\n" + std::string(3 << 20, '\0'));
  EXPECT_RAISES(IO::READFILE(dir.cwd(), {str("fifo"), str("csv")}), "file i/o error", 1u);
  writer.join();
}

}  // namespace
