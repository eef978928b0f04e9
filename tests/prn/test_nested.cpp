// The nested-matrix format: complex numbers, texts and matrices inside
// matrices, written as .MATRIX blocks in breadth-first order and read back.
#include <regex>

#include "prn_test.h"

namespace {

using namespace prn_test;

// A host matrix from elements given row by row: numbers, texts or matrices.
struct Element {
  Element(double v) : value(num(v)) {}
  Element(const char* s) : value(str(s)) {}
  Element(std::string s) : value(str(s)) {}
  template <typename T>
  Element(std::shared_ptr<T> m) : value(std::move(m)) {}
  Ref value;
};

std::shared_ptr<Cvd::MatVal> nested(std::initializer_list<std::initializer_list<Element>> rows) {
  auto r = static_cast<std::uint32_t>(rows.size());
  auto c = static_cast<std::uint32_t>(rows.begin()->size());
  auto m = Cvd::MatVal::Zeros(r, c);
  std::uint32_t i = 0;
  for (const auto& row : rows) {
    std::uint32_t j = 0;
    for (const Element& e : row) {
      auto index = static_cast<std::int32_t>(j * r + i);
      if (auto* n = dynamic_cast<Cvd::NumVal*>(e.value.get())) {
        m->real()[index] = n->Data.rp;
      } else {
        if (!m->m_parr) m->m_parr = std::make_shared<Cvd::Table>();
        (*m->m_parr)[index] = e.value;
        m->real()[index] = Cvd::NestedSlot();
      }
      ++j;
    }
    ++i;
  }
  return m;
}

Ref element(const Ref& m, std::int32_t index) {
  const auto& table = as_mat(m)->m_parr;
  if (!table || table->count(index) == 0) return nullptr;
  return table->at(index);
}

std::string text_of(const Ref& v) {
  auto* s = dynamic_cast<Cvd::StrVal*>(v.get());
  return s == nullptr ? "<not a text>" : Vrt::StringToRawBytes(s->m_str);
}

// The file after its two header lines, which are checked on the way.
std::string body(const std::string& file) {
  static const std::regex header(
      "// Datafile written by Corvida\n// [01][0-9]/[0-3][0-9]/[0-9][0-9] "
      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\n");
  std::smatch m;
  EXPECT_TRUE(std::regex_search(file, m, header, std::regex_constants::match_continuous)) << file;
  return m.empty() ? file : file.substr(static_cast<std::size_t>(m.length(0)));
}

TEST(NestedPrn, ComplexTextAndNestedBlocks) {
  TempDir dir;
  auto z = mat({{1, 3}});
  z->m_iarr = Cvd::NewArray(2);
  z->m_iarr[0] = 2;
  z->m_iarr[1] = 0;
  IO::WRITEPRN(dir.cwd(), 3, 4, str("z.txt"), z);
  EXPECT_EQ(body(read_file(dir / "z.txt")), "\n.MATRIX 0 1 1 2\n   1,    2   3,    0");
  Ref back = read_prn(dir, "z.txt");
  ASSERT_TRUE(as_mat(back)->get_HasImag());
  EXPECT_EQ(as_mat(back)->imag()[0], 2);
  EXPECT_EQ(as_mat(back)->imag()[1], 0);

  Ref m = nested({{"ab"}, {mat({{5}})}});
  IO::WRITEPRN(dir.cwd(), 4, 8, str("n.txt"), m);
  EXPECT_EQ(body(read_file(dir / "n.txt")),
            "\n.MATRIX 0 0 2 1\n \"ab\" {1,0,1,1}\n.MATRIX 1 0 1 1\n       5");
  back = read_prn(dir, "n.txt");
  EXPECT_EQ(as_mat(back)->get_Rows(), 2u);
  EXPECT_EQ(as_mat(back)->get_Cols(), 1u);
  EXPECT_FALSE(as_mat(back)->get_HasImag());
  EXPECT_TRUE(Cvd::IsNestedSlot(as_mat(back)->real()[0]));
  EXPECT_TRUE(Cvd::IsNestedSlot(as_mat(back)->real()[1]));
  EXPECT_EQ(text_of(element(back, 0)), "ab");
  ASSERT_NE(as_mat(element(back, 1)), nullptr);
  EXPECT_EQ(rows_of(element(back, 1)), (Rows{{5}}));
}

TEST(NestedPrn, BlocksFollowBreadthFirst) {
  TempDir dir;
  // Two children, each with a child of its own: ids 1 and 2 go to the
  // children, 3 and 4 to the grandchildren.
  Ref m = nested({{nested({{nested({{7}}), 1.5}}), nested({{"x", nested({{8, 9}})}})}});
  IO::WRITEPRN(dir.cwd(), 4, 4, str("tree.txt"), m);
  std::string b = body(read_file(dir / "tree.txt"));
  EXPECT_EQ(b,
            "\n.MATRIX 0 0 1 2\n {1,0,1,2} {2,0,1,2}"
            "\n.MATRIX 1 0 1 2\n {3,0,1,1} 1.5"
            "\n.MATRIX 2 0 1 2\n \"x\" {4,0,1,2}"
            "\n.MATRIX 3 0 1 1\n   7"
            "\n.MATRIX 4 0 1 2\n   8   9");
  Ref back = read_prn(dir, "tree.txt");
  Ref first = element(back, 0), second = element(back, 1);
  ASSERT_NE(as_mat(first), nullptr);
  ASSERT_NE(as_mat(second), nullptr);
  EXPECT_EQ(rows_of(element(first, 0)), (Rows{{7}}));
  EXPECT_EQ(as_mat(first)->get_real(0, 1), 1.5);
  EXPECT_EQ(text_of(element(second, 0)), "x");
  EXPECT_EQ(rows_of(element(second, 1)), (Rows{{8, 9}}));
}

TEST(NestedPrn, LinesAreKeptTo80Characters) {
  TempDir dir;
  auto m = Cvd::MatVal::Zeros(1, 25, true);
  for (int i = 0; i < 25; ++i)
    m->real()[i] = i;
  m->imag()[3] = 1;
  // Each element is "   i,    0": 10 characters, so eight to a line.
  IO::WRITEPRN(dir.cwd(), 4, 4, str("w.txt"), m);
  std::string b = body(read_file(dir / "w.txt"));
  std::vector<std::size_t> lengths;
  std::size_t start = b.find('\n', 1) + 1;
  for (std::size_t at = start; at <= b.size(); at = b.find('\n', at) + 1) {
    std::size_t end = std::min(b.find('\n', at), b.size());
    lengths.push_back(end - at);
    if (end == b.size()) break;
  }
  EXPECT_EQ(lengths, (std::vector<std::size_t>{80, 80, 80, 10}));
  // An element longer than a line is still written whole, on a line of its
  // own.
  std::string long_text(300, 'q');
  IO::WRITEPRN(dir.cwd(), 4, 8, str("long.txt"), nested({{1, long_text.c_str(), 2}}));
  EXPECT_EQ(body(read_file(dir / "long.txt")),
            "\n.MATRIX 0 0 1 3\n       1\n \"" + long_text + "\"\n       2");
  EXPECT_EQ(text_of(element(read_prn(dir, "long.txt"), 1)), long_text);
}

TEST(NestedPrn, TextsKeepTheirBytes) {
  TempDir dir;
  std::string latin1 = "caf\xE9 \x01\t";
  Ref m = nested({{"line\nbreak", latin1, ""}});
  IO::WRITEPRN(dir.cwd(), 4, 8, str("t.txt"), m);
  Ref back = read_prn(dir, "t.txt");
  EXPECT_EQ(text_of(element(back, 0)), "line\nbreak");
  EXPECT_EQ(text_of(element(back, 1)), latin1);
  EXPECT_EQ(text_of(element(back, 2)), "");
  // CR LF inside a text reads as a line feed, as in any text-mode read; a
  // text is written up to a NUL, like "%s".
  write_file(dir / "crlf.txt", ".MATRIX 0 0 1 1\r\n \"a\r\nb\r\"\r\n");
  EXPECT_EQ(text_of(element(read_prn(dir, "crlf.txt"), 0)), "a\nb\r");
  IO::WRITEPRN(dir.cwd(), 4, 8, str("nul.txt"), nested({{std::string("ab\0cd", 5)}}));
  EXPECT_EQ(text_of(element(read_prn(dir, "nul.txt"), 0)), "ab");
}

TEST(NestedPrn, ReaderAcceptsWhatTheFormatAllows) {
  TempDir dir;
  // Leading comments, anything before a block's full stop, elements spread
  // over lines, a reference without its closing brace, an id not checked on
  // the first block, and blocks after the last one needed left unread.
  Ref m = read_text(dir,
                    "// written elsewhere\n\n.MATRIX 9 0 2 2\n1 {1,0,1,1\n\n 2.5e1\t\"q\"\n"
                    "junk, no full stop; .MATRIX 1 0 1 1 -4 .MATRIX garbage");
  EXPECT_EQ(as_mat(m)->get_real(0, 0), 1);
  EXPECT_EQ(as_mat(m)->get_real(1, 0), 25);
  EXPECT_EQ(text_of(element(m, 3)), "q");
  EXPECT_EQ(rows_of(element(m, 2)), (Rows{{-4}}));
  // A complex block whose imaginary parts are all zero reads as real.
  m = read_text(dir, ".MATRIX 0 1 1 2\n 1, 0 -2,-0");
  EXPECT_FALSE(as_mat(m)->get_HasImag());
  EXPECT_EQ(rows_of(m), (Rows{{1, -2}}));
  // An empty block.
  m = read_text(dir, ".MATRIX 0 0 0 3\n");
  EXPECT_EQ(as_mat(m)->get_Rows(), 0u);
  EXPECT_EQ(as_mat(m)->get_Cols(), 3u);
}

TEST(NestedPrn, MalformedFilesAreFileIoErrors) {
  TempDir dir;
  const char* const bad[] = {
      ".MATRIX 0 0 1 2\n 1",                               // ends inside the block
      ".MATRIX 0 0 1\n 1",                                 // short header
      ".MATRIZ 0 0 1 1\n 1",                               // not MATRIX
      ".MATRIX 0 0 -1 2\n",                                // negative size
      ".MATRIX 0 0 99999 99999\n 1",                       // more elements than int32
      ".MATRIX 0 1 1 1\n 1 2",                             // complex element without comma
      ".MATRIX 0 1 1 1\n 1,x",                             // imaginary part not a number
      ".MATRIX 0 0 1 1\n x",                               // not a number
      ".MATRIX 0 0 1 1\n nan",                             // not a number either
      ".MATRIX 0 0 1 1\n \"open",                          // text never closed
      ".MATRIX 0 0 1 1\n {1,0,1}",                         // reference with three fields
      ".MATRIX 0 0 1 1\n {1,0,1,1}",                       // its block is missing
      ".MATRIX 0 0 1 1\n {1,0,1,1}\n.MATRIX 2 0 1 1\n 5",  // wrong id
      ".MATRIX 0 0 1 2\n {1,0,1,1} {2,0,1,1}\n.MATRIX 2 0 1 1\n 5\n.MATRIX 1 0 1 1\n 6",
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    EXPECT_RAISES(read_text(dir, text), "file i/o error", Kex::kWholeCall);
  }
}

}  // namespace
