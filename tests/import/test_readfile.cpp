// READFILE: the argument checks of the entry layer, what the data-import
// library makes of files of every type word, each written for the case, and
// what pandas makes of generated files. Results are shown as one line: "2x3:
// 1, 'text', nan; ..." (rows after the colon separated by ";", texts quoted
// with code units outside printable ASCII as \u{hex}, complex elements as
// re+imi).
#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace {

using namespace kexio_test;
using IO = Kex::IO;
using Ref = Cvd::Ref;

std::string number(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string shown(const Ref& v) {
  auto* m = dynamic_cast<Cvd::MatVal*>(v.get());
  if (m == nullptr) return "<not a matrix>";
  std::string out = std::to_string(m->get_Rows()) + "x" + std::to_string(m->get_Cols()) + ":";
  for (std::uint32_t r = 0; r < m->get_Rows(); ++r) {
    out += r == 0 ? " " : "; ";
    for (std::uint32_t c = 0; c < m->get_Cols(); ++c) {
      if (c != 0) out += ", ";
      Cvd::NumVal n;
      Ref e = m->get_2_na(n, r, c);
      if (auto* s = dynamic_cast<Cvd::StrVal*>(e.get())) {
        out += "'";
        for (char16_t u : s->m_str) {
          char hex[16];
          std::snprintf(hex, sizeof hex, "\\u{%X}", static_cast<unsigned>(u));
          out += u >= 0x20 && u < 0x7F ? std::string(1, static_cast<char>(u)) : std::string(hex);
        }
        out += "'";
      } else {
        out += number(n.Data.rp);
        if (m->get_HasImag()) out += (n.Data.ip < 0 ? "" : "+") + number(n.Data.ip) + "i";
      }
    }
  }
  return out;
}

// READFILE of a file holding bytes, then the arguments after the name.
Ref read(const ScratchDir& dir, const std::string& bytes, std::vector<Ref> args) {
  write_bytes(dir.path() / "in.txt", bytes);
  args.insert(args.begin(), str("in.txt"));
  return Kex::IO::READFILE(dir.cwd(), args);
}

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
    Raised r = raised([&] { got = shown(read(dir, c.bytes, c.args)); });
    if (r.message != "<nothing raised>")
      got = "error: " + r.message + " at " + std::to_string(r.index);
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

// READFILE against pandas on generated files: comma (with RFC 4180 quoting),
// tab, semicolon with decimal commas and blank-separated tables of numbers
// in many spellings, texts (non-ASCII among them) and empty cells. Python
// writes the files; the kexio program reads them and shows each result as a
// JSON line (whose numbers read back exactly), and Python checks every cell
// against pandas.read_csv: numbers equal, texts equal, empty cells NaN.
// (Fixed widths, which split the same cells otherwise, are the hand-made
// table's part.)
const char* kGenerate = R"PY(
import random, sys
D = sys.argv[1]; rnd = random.Random(18)
WORDS = ['alpha', 'Beta', 'gamma delta', 'x_1', 'na\u00efve', '\u6771\u4eac', 'a"b', 'c,d',
         'e\nf', "l'\u00e9t\u00e9", '\u20ac5', '']
SPECIAL = ['inf', '-inf', 'Infinity', '-Infinity', '1e-320', '4.9e-324', '.5', '5.', '-0.0',
           '1.7976931348623157e308', '0']
def number():
    v = rnd.uniform(-1e6, 1e6) * 10.0 ** rnd.randint(-30, 30)
    return rnd.choice([repr(v), '%.17g' % v, '%.24e' % v, '%.6e' % v, '%.3f' % (v % 977),
                       str(rnd.randint(-10**12, 10**12)), rnd.choice(SPECIAL)])
def table(plain, decimal='.'):
    kinds = [rnd.random() < 0.5 for _ in range(6)]  # True: a text column
    rows = []
    for _ in range(300):
        row = []
        for text in kinds:
            if not plain and rnd.random() < 0.1:
                row.append('')
            elif text:
                w = rnd.choice(WORDS[:-1] if plain else WORDS)
                row.append(''.join('_' if ch in ' "\n' else ch for ch in w) if plain else w)
            else:
                row.append(number().replace('.', decimal))
        rows.append(row)
    return rows
def quoted(cell):
    if any(c in cell for c in ',"\n') or rnd.random() < 0.2:
        return '"' + cell.replace('"', '""') + '"'
    return cell
def write(name, lines):
    with open(f'{D}/{name}', 'w', encoding='utf-8', newline='') as f:
        f.write(''.join(lines))
write('g.csv', [','.join(quoted(c) for c in r) + rnd.choice(['\n', '\r\n']) for r in table(False)])
simple = lambda r: [c.replace('\n', ' ').replace('"', "'") for c in r]
write('g.tsv', ['\t'.join(simple(r)) + '\n' for r in table(False)])
write('g_semi.csv', [';'.join(simple(r)) + '\n' for r in table(False, ',')])
write('g_space.txt', [' ' * rnd.randint(0, 2) + (' ' * rnd.randint(1, 3)).join(r) + '\n'
                      for r in table(True)])
)PY";

const char* kCheck = R"PY(
import json, math, sys
import pandas as pd
D = sys.argv[1]
opts = dict(header=None, keep_default_na=False, na_values=[''])
peers = {
    'g.csv': lambda f: pd.read_csv(f, float_precision='round_trip', **opts),
    'g.tsv': lambda f: pd.read_csv(f, sep='\t', quoting=3, float_precision='round_trip', **opts),
    'g_semi.csv': lambda f: pd.read_csv(f, sep=';', decimal=',', quoting=3,
                                        float_precision='round_trip', **opts),
    'g_space.txt': lambda f: pd.read_csv(f, sep=r'\s+', float_precision='round_trip', **opts),
}
ours = open(f'{D}/ours.json', encoding='utf-8').read().splitlines()
bad = 0
for (name, read), line in zip(peers.items(), ours):
    want, got = read(f'{D}/{name}').values, json.loads(line)
    if got.get('rows') != want.shape[0] or got.get('cols') != want.shape[1]:
        print(name, line[:200], want.shape); bad += 1; continue
    for r, row in enumerate(got['data']):
        for c, cell in enumerate(row):
            # Texts are objects; numbers plain, or "NaN" and the infinities.
            got_cell = cell['value'] if isinstance(cell, dict) else float(cell)
            p = want[r][c]
            same = got_cell == p if isinstance(p, str) or isinstance(got_cell, str) else \
                (math.isnan(p) and math.isnan(got_cell)) or float(p) == got_cell
            if not same and bad < 20:
                print(name, r, c, repr(got_cell), repr(p))
            bad += not same
sys.exit(1 if bad or len(ours) != len(peers) else 0)
)PY";

TEST(ReadFile, AgreesWithPandas) {
  if (!have_python("pandas")) GTEST_SKIP() << "no pandas for /usr/bin/python3";
  ScratchDir dir;
  ASSERT_EQ(python_failure(dir, kGenerate), "");
  std::string cmd = std::string(KEXIO_BINARY_DIR "/bin/kexio --json --cwd ") + dir.path().c_str();
  for (const char* call :
       {"READFILE(\"g.csv\", \"csv\")", "READFILE(\"g.tsv\", \"tsv\")",
        "READFILE(\"g_semi.csv\", \"delimited\")", "READFILE(\"g_space.txt\", \"space\")"}) {
    cmd += std::string(" -e '") + call + "'";
  }
  EXPECT_EQ(std::system((cmd + " > " + dir / "ours.json").c_str()), 0);
  EXPECT_EQ(python_failure(dir, kCheck), "");
}

}  // namespace
