// The nested-matrix format: complex numbers, texts and matrices inside
// matrices, written as .MATRIX blocks in breadth-first order and read back.
#include <regex>

#include "prn_test.h"

namespace {

using namespace prn_test;

// A matrix of one row: numbers are stored as elements, anything else in the
// table of nested values.
std::shared_ptr<Cvd::MatVal> row(const std::vector<Ref>& elements) {
  auto m = Cvd::MatVal::Zeros(1, static_cast<std::uint32_t>(elements.size()));
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(elements.size()); ++i) {
    if (auto* n = dynamic_cast<Cvd::NumVal*>(elements[i].get())) {
      m->real()[i] = n->Data.rp;
      continue;
    }
    if (!m->m_parr) m->m_parr = std::make_shared<Cvd::Table>();
    (*m->m_parr)[i] = elements[i];
    m->real()[i] = Cvd::NestedSlot();
  }
  return m;
}

Ref element(const Ref& m, std::int32_t index) {
  const auto& table = as_matrix(m)->m_parr;
  return table && table->count(index) != 0 ? table->at(index) : nullptr;
}

std::string text_of(const Ref& v) {
  auto* s = dynamic_cast<Cvd::StrVal*>(v.get());
  return s == nullptr ? "<not a text>" : Vrt::StringToRawBytes(s->m_str);
}

// What WRITEPRN writes after the two header lines, which are checked too.
std::string blocks(const ScratchDir& dir, const Ref& m, int precision, int width) {
  IO::WRITEPRN(dir.cwd(), precision, width, str("n.txt"), m);
  std::string file = read_bytes(dir / "n.txt");
  static const std::regex header(
      "// Datafile written by Corvida\n// [01]\\d/[0-3]\\d/\\d\\d [0-2]\\d:[0-5]\\d:[0-6]\\d\n");
  std::smatch h;
  EXPECT_TRUE(std::regex_search(file, h, header, std::regex_constants::match_continuous)) << file;
  return file.substr(h.empty() ? 0 : static_cast<std::size_t>(h.length(0)));
}

TEST(NestedPrn, BlocksAreWrittenBreadthFirstAndReadBack) {
  ScratchDir dir;
  // What is read back is written again as the same blocks.
  const std::string complex = "\n.MATRIX 0 1 1 2\n   1,    2   3,    0";
  EXPECT_EQ(blocks(dir, with_imag(mat({{1, 3}}), {2, 0}), 3, 4), complex);
  EXPECT_EQ(blocks(dir, read_prn(dir, "n.txt"), 3, 4), complex);

  // Children get ids 1 and 2, then the grandchildren 3 and 4 (4 complex, and so its reference).
  Ref tree =
      row({row({row({num(7)}), num(1.5)}), row({str("x"), with_imag(mat({{8, 9}}), {0, -1})})});
  const std::string tree_blocks =
      "\n.MATRIX 0 0 1 2\n {1,0,1,2} {2,0,1,2}\n.MATRIX 1 0 1 2\n {3,0,1,1} 1.5"
      "\n.MATRIX 2 0 1 2\n \"x\" {4,1,1,2}\n.MATRIX 3 0 1 1\n 7\n.MATRIX 4 1 1 2\n 8,  0 9, -1";
  EXPECT_EQ(blocks(dir, tree, 4, 2), tree_blocks);
  EXPECT_EQ(blocks(dir, read_prn(dir, "n.txt"), 4, 2), tree_blocks);
}

TEST(NestedPrn, LinesAndTexts) {
  ScratchDir dir;
  // Elements of 10 characters: eight to a line of 80.
  auto z = Cvd::MatVal::Zeros(1, 17, true);
  z->imag()[3] = 1;
  std::string line = "   0,    0", eight;
  for (int i = 0; i < 8; ++i)
    eight += i == 3 ? "   0,    1" : line;
  EXPECT_EQ(blocks(dir, z, 4, 4), "\n.MATRIX 0 1 1 17\n" + eight + "\n" +
                                      std::string(eight).replace(30, 10, line) + "\n" + line);
  // Texts of any length and bytes come back whole; a long one gets its own
  // line; a text is written up to a NUL, like "%s".
  const std::string texts[] = {std::string(300, 'q'), "line\nbreak", "caf\xE9 \x01\t", "",
                               std::string("ab\0cd", 5)};
  std::vector<Ref> elements{num(1)};
  for (const std::string& t : texts)
    elements.push_back(str(t));
  const std::string want = "\n.MATRIX 0 0 1 6\n 1\n \"" + texts[0] + "\"\n \"line\nbreak\" \"" +
                           texts[2] + "\" \"\" \"ab\"";
  EXPECT_EQ(blocks(dir, row(elements), 4, 2), want);
  EXPECT_EQ(blocks(dir, read_prn(dir, "n.txt"), 4, 2), want);
}

TEST(NestedPrn, ReaderAcceptsWhatTheFormatAllowsAndNothingElse) {
  ScratchDir dir;
  // Leading comments, CR LF, text up to the block's full stop skipped,
  // elements spread over lines, a reference without its closing brace, the
  // first block's id unchecked, blocks after the last one needed unread.
  Ref m = read_text(dir,
                    "// elsewhere\r\n\n.MATRIX 9 0 2 2\n1 {1,0,1,1\n\n 2.5e1\t\"q\r\n\"\r\n"
                    "junk; .MATRIX 1 0 1 1 -4 .MATRIX garbage");
  EXPECT_EQ(as_matrix(m)->get_real(1, 0), 25);
  EXPECT_EQ(text_of(element(m, 3)), "q\n");
  EXPECT_EQ(rows_of(element(m, 2)), (Rows{{-4}}));
  // A complex block whose imaginary parts are all zero reads as real.
  m = read_text(dir, ".MATRIX 0 1 1 2\n 1, 0 -2,-0");
  EXPECT_FALSE(as_matrix(m)->get_HasImag());
  EXPECT_EQ(rows_of(m), (Rows{{1, -2}}));
  EXPECT_EQ(as_matrix(read_text(dir, ".MATRIX 0 0 0 3\n"))->get_Cols(), 3u);

  // Short, misnamed, negative or huge headers, elements that are missing,
  // extra or malformed, references to blocks that are absent, out of order
  // (the last one: block 2 before block 1) or of the wrong id.
  for (const char* text :
       {".MATRIX 0 0 1 2\n 1", ".MATRIX 0 0 1\n 1", ".MATRIZ 0 0 1 1\n 1", ".MATRIX 0 0 -1 2\n",
        ".MATRIX 0 0 99999 99999\n 1", ".MATRIX 0 1 1 1\n 1 2", ".MATRIX 0 1 1 1\n 1,x",
        ".MATRIX 0 0 1 1\n nan", ".MATRIX 0 0 1 1\n \"open", ".MATRIX 0 0 1 1\n {1,0,1}",
        ".MATRIX 0 0 1 1\n {1,0,1,1}", ".MATRIX 0 0 1 1\n {1,0,1,1}\n.MATRIX 2 0 1 1\n 5",
        ".MATRIX 0 0 1 2\n {1,0,1,1} {2,0,1,1}\n.MATRIX 2 0 1 1\n 5\n.MATRIX 1 0 1 1\n 6"}) {
    EXPECT_RAISES(read_text(dir, text), "file i/o error", Kex::kWholeCall) << text;
  }
}

// A chain of matrices each holding the next: 1000 levels read, deeper ones
// are refused rather than exhausting the stack later.
TEST(NestedPrn, NestingDepthIsBounded) {
  ScratchDir dir;
  auto chain = [](int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) {
      text += "\n.MATRIX " + std::to_string(i) + " 0 1 1\n {" + std::to_string(i + 1) + ",0,1,1}";
    }
    return text + "\n.MATRIX " + std::to_string(levels) + " 0 1 1\n 5\n";
  };
  Ref deep = read_text(dir, chain(1000));
  for (int i = 0; i < 1000; ++i) {
    deep = element(deep, 0);
    ASSERT_NE(deep, nullptr) << "level " << i;
  }
  EXPECT_EQ(rows_of(deep), (Rows{{5}}));
  EXPECT_RAISES(read_text(dir, chain(1001)), "file i/o error", Kex::kWholeCall);
}

}  // namespace
