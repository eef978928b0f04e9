// Output: numbers, matrices and errors as text, and the JSON objects, which
// a standard JSON parser must read back to exactly the same values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>

#include "display.h"
#include "json.h"
#include "numbers.h"
#include "parser.h"
#include "python.h"
#include "support/values.h"
#include "text.h"
#include "values.h"

namespace kexio::app {
namespace {

using kexio_test::mat;

std::vector<std::string> lines_of(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);)
    out.push_back(l);
  return out;
}

TEST(TextOutput, NumbersAreShortAndReadable) {
  EXPECT_EQ(text_number(0.1 + 0.2), "0.3");
  EXPECT_EQ(text_number(1.0 / 3), "0.3333333333");
  EXPECT_EQ(text_number(-2.5), "-2.5");
  EXPECT_EQ(text_number(123456789012.0), "123456789012");
  EXPECT_EQ(text_number(1e15), "1e+15");
  EXPECT_EQ(text_number(1.5e-7), "1.5e-7");
  EXPECT_EQ(text_number(-0.0), "0");
  EXPECT_EQ(text_number(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(text_number(-std::numeric_limits<double>::infinity()), "-Infinity");
  EXPECT_EQ(text_complex(3, -4, true), "3 - 4i");
  EXPECT_EQ(text_complex(0, 2, true), "2i");
  EXPECT_EQ(text_complex(0, -2, true), "-2i");
  EXPECT_EQ(text_complex(0, 2, false), "0 + 2i");
  EXPECT_EQ(text_complex(5, 0, true), "5");
}

TEST(TextOutput, ValuesAndAlignedMatrices) {
  TextStyle style;
  EXPECT_EQ(text_value(std::make_shared<Cvd::NumVal>(1.5, -2.0), style), "1.5 - 2i\n");
  EXPECT_EQ(text_value(std::make_shared<Cvd::StrVal>(u"a\"b\\c\n\t\x01é"), style),
            "\"a\\\"b\\\\c\\n\\t\\x01é\"\n");
  EXPECT_EQ(text_value(mat({{1, 2.5}, {-10, 300}}), style),
            "2×2 matrix\n"
            "    1  2.5\n"
            "  -10  300\n");
  Source src("t", "");
  EXPECT_EQ(text_value(build_matrix(2, 2,
                                    {std::make_shared<Cvd::NumVal>(1.0, 2.0),
                                     std::make_shared<Cvd::NumVal>(-30.0, 0.0),
                                     std::make_shared<Cvd::NumVal>(4.0, -0.5),
                                     std::make_shared<Cvd::StrVal>(u"ab")}),
                       style),
            "2×2 complex matrix\n"
            "  1 + 2i    -30 + 0i\n"
            "  4 - 0.5i      \"ab\"\n");
  EXPECT_EQ(text_value(Cvd::MatVal::Zeros(0, 3), style), "0×3 matrix\n");
}

TEST(TextOutput, NestedElementsShowTheirSizeOrText) {
  auto inner = Cvd::MatVal::Zeros(2, 3);
  auto text = std::make_shared<Cvd::StrVal>(u"a text longer than twenty characters");
  std::string out = text_value(
      build_matrix(1, 3, {inner, text, std::make_shared<Cvd::NumVal>(7.0)}), TextStyle{});
  EXPECT_EQ(out, "1×3 matrix\n  {2×3}  \"a text longer than t…\"  7\n");
}

TEST(TextOutput, LargeMatricesAreAbridgedToTheLineWidth) {
  const std::uint32_t rows = 500, cols = 300;
  auto m = Cvd::MatVal::Zeros(rows, cols);
  for (std::uint32_t c = 0; c < cols; ++c) {
    for (std::uint32_t r = 0; r < rows; ++r)
      m->real()[c * rows + r] = r * 1000 + c;
  }
  TextStyle style;
  style.width = 80;
  std::vector<std::string> lines = lines_of(text_value(m, style));
  EXPECT_EQ(lines[0], "500×300 matrix (abridged)");
  EXPECT_LE(lines.size(), style.max_rows + 2);
  for (const std::string& l : lines)
    EXPECT_LE(char_count(l), style.width) << l;
  // The first and last elements are shown, with ellipses for what is left out.
  std::string first;
  std::istringstream(lines[1]) >> first;
  EXPECT_EQ(first, "0") << lines[1];
  EXPECT_NE(lines.back().find("499299"), std::string::npos) << lines.back();
  EXPECT_NE(lines[1].find("…"), std::string::npos);
  int vertical = 0;
  for (const std::string& l : lines)
    vertical += l.find("⋮") != std::string::npos;
  EXPECT_EQ(vertical, 1);

  // A matrix that fits is shown whole.
  std::vector<std::string> small = lines_of(text_value(Cvd::MatVal::Zeros(16, 20), style));
  EXPECT_EQ(small.size(), 17u);
  EXPECT_EQ(small[0], "16×20 matrix");
}

TEST(TextOutput, MessageKeysReadAsEnglish) {
  EXPECT_EQ(plain_message("too_few_arguments\t2\t1"),
            "too few arguments: at least 2 needed, 1 given");
  EXPECT_EQ(plain_message("too_many_arguments\t5\t6"),
            "too many arguments: at most 5 allowed, 6 given");
  for (const char* key : {"UnexpectedEOFinPRNfile", "NOTAWAVFILE", "NOT_PCM", "ERROR_FMT_READ",
                          "BAD_INFO", "BAD_RESOLUTION"}) {
    std::string m = plain_message(key);
    EXPECT_NE(m, key);
    EXPECT_EQ(m.find('_'), std::string::npos) << m;
  }
  EXPECT_EQ(plain_message("file open error"), "file open error");
  EXPECT_EQ(plain_message("odd\tmessage"), "odd message");
}

TEST(TextOutput, ErrorsShowTheStatementWithAMarkerUnderTheirPart) {
  Source src("script.kx", "x := 1\ny := READPRN(\"é.prn\", 2) + 1\n");
  std::vector<Statement> sts = parse(src);
  Diagnostic d;
  d.message = "too_many_arguments\t6\t7";
  d.from_library = true;
  d.mark = {src.text().find("2)"), src.text().find("2)") + 1};
  d.note = "argument 2";
  EXPECT_EQ(text_error(src, sts[1], d, TextStyle{}),
            "script.kx:2:23: error: too many arguments: at most 6 allowed, 7 given\n"
            "2 | y := READPRN(\"é.prn\", 2) + 1\n"
            "  |                       ^ argument 2\n");

  // A mark over several lines of one statement.
  Source multi("m", "z := [1, 2\n 3, READ_RED(\n 4)]\n");
  sts = parse(multi);
  ASSERT_EQ(sts.size(), 1u);
  d = Diagnostic{};
  d.message = "not available in this build";
  d.mark = {multi.text().find("READ_RED"), multi.text().find(")") + 1};
  d.note = "the call as a whole";
  EXPECT_EQ(text_error(multi, sts[0], d, TextStyle{}),
            "m:2:5: error: not available in this build\n"
            "1 | z := [1, 2\n"
            "2 |  3, READ_RED(\n"
            "  |     ^^^^^^^^^\n"
            "3 |  4)]\n"
            "  | ^^^ the call as a whole\n");

  // Syntax errors say so; the library's keys are kept only when raw.
  Source bad("b", "1 +* 2");
  sts = parse(bad);
  d = Diagnostic{};
  d.message = sts[0].error->message;
  d.syntax = true;
  d.mark = sts[0].error->at;
  std::string shown = text_error(bad, sts[0], d, TextStyle{});
  EXPECT_EQ(lines_of(shown)[0].rfind("b:1:4: syntax error: expected a value", 0), 0u) << shown;
  EXPECT_EQ(lines_of(shown)[2], "  |    ^");
}

// --- JSON -------------------------------------------------------------------

std::vector<double> sample_doubles() {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> v = {0.0,
                           -0.0,
                           1.0,
                           -1.0,
                           0.1,
                           0.1 + 0.2,
                           1.0 / 3,
                           1e21,
                           1e-7,
                           123456789012345680.0,
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::lowest(),
                           std::numeric_limits<double>::min(),
                           std::numeric_limits<double>::denorm_min(),
                           -std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::epsilon(),
                           9007199254740993.0,
                           inf,
                           -inf,
                           std::numeric_limits<double>::quiet_NaN()};
  std::mt19937_64 rng(20240607);
  for (int i = 0; i < 3000; ++i) {
    std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isnan(d)) v.push_back(d);
  }
  std::uniform_int_distribution<int> digits(0, 99999);
  for (int i = 0; i < 500; ++i)
    v.push_back(digits(rng) / 100.0);
  return v;
}

// Reads every JSON line and prints each number found in it as float.hex(),
// the strings NaN and infinities as Python's float() reads them.
const char* const kReadNumbers = R"(
import json, sys
def walk(v, out):
    if isinstance(v, dict):
        t = v["type"]
        if t == "number":
            out.append(num(v["re"])); out.append(num(v["im"]))
        elif t == "matrix":
            assert len(v["data"]) == v["rows"]
            for row in v["data"]:
                assert len(row) == v["cols"]
                for e in row:
                    if isinstance(e, list):
                        assert len(e) == 2
                        out.append(num(e[0])); out.append(num(e[1]))
                    elif isinstance(e, dict):
                        walk(e, out)
                    else:
                        out.append(num(e))
        elif t == "string":
            out.append("s:" + ",".join(str(ord(c)) for c in v["value"]))
        elif t == "error":
            out.append("e:" + ",".join(str(ord(c)) for c in v["message"]) + ":" + json.dumps(v["arg"]))
def num(x):
    if isinstance(x, str):
        assert x in ("NaN", "Infinity", "-Infinity"), x
        return "nan" if x == "NaN" else float(x).hex()
    assert isinstance(x, (int, float)) and not isinstance(x, bool)
    return float(x).hex()
for line in open(sys.argv[1], encoding="utf-8"):
    out = []
    walk(json.loads(line), out)
    print(" ".join(out))
)";

std::string hex(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  // As Python's float.hex(): 0x1.<13 hex digits>p<exp>, subnormals 0x0.<...>p-1022.
  char buf[64];
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof d);
  bool neg = bits >> 63;
  int exp = static_cast<int>((bits >> 52) & 0x7FF);
  std::uint64_t frac = bits & ((std::uint64_t{1} << 52) - 1);
  if (exp == 0 && frac == 0) return neg ? "-0x0.0p+0" : "0x0.0p+0";
  std::snprintf(buf, sizeof buf, "%s0x%d.%013llxp%+d", neg ? "-" : "", exp == 0 ? 0 : 1,
                static_cast<unsigned long long>(frac), exp == 0 ? -1022 : exp - 1023);
  return buf;
}

TEST(JsonOutput, DoublesReadBackExactly) {
  if (!kexio_test::have_python_json()) GTEST_SKIP() << "/usr/bin/python3 with json is missing";
  std::vector<double> values = sample_doubles();
  std::string input, expected;
  // Numbers as complex scalars, pairs at a time.
  for (std::size_t i = 0; i + 1 < values.size(); i += 2) {
    input += json_value(std::make_shared<Cvd::NumVal>(values[i], values[i + 1])) + "\n";
    expected += hex(values[i]) + " " + hex(values[i + 1]) + "\n";
  }
  // The same numbers as one real matrix and one complex matrix.
  std::uint32_t n = static_cast<std::uint32_t>(values.size() / 4 * 4);
  auto real = Cvd::MatVal::Zeros(4, n / 4);
  auto complex = Cvd::MatVal::Zeros(2, n / 4, true);
  for (std::uint32_t i = 0; i < n; ++i)
    real->real()[i] = values[i];
  for (std::uint32_t i = 0; i < n / 2; ++i) {
    complex->real()[i] = values[2 * i];
    complex->imag()[i] = values[2 * i + 1];
  }
  input += json_value(real) + "\n" + json_value(complex) + "\n";
  std::string row_major_real, row_major_complex;
  for (std::uint32_t r = 0; r < 4; ++r) {
    for (std::uint32_t c = 0; c < n / 4; ++c)
      row_major_real += " " + hex(values[c * 4 + r]);
  }
  for (std::uint32_t r = 0; r < 2; ++r) {
    for (std::uint32_t c = 0; c < n / 4; ++c) {
      std::size_t i = c * 2 + r;
      row_major_complex += " " + hex(values[2 * i]) + " " + hex(values[2 * i + 1]);
    }
  }
  expected += row_major_real.substr(1) + "\n" + row_major_complex.substr(1) + "\n";
  int status = 0;
  std::string got = kexio_test::run_python(kReadNumbers, input, status);
  ASSERT_EQ(status, 0) << got;
  EXPECT_TRUE(got == expected) << "Python read different numbers";
  if (got != expected) {
    std::vector<std::string> g = lines_of(got), e = lines_of(expected);
    for (std::size_t i = 0; i < std::min(g.size(), e.size()); ++i) {
      if (g[i] != e[i]) {
        ADD_FAILURE() << "line " << i << "\n got " << g[i].substr(0, 300) << "\nwant "
                      << e[i].substr(0, 300);
        break;
      }
    }
  }
}

TEST(JsonOutput, ShapesOfEveryKindOfValue) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(json_value(std::make_shared<Cvd::NumVal>(2.5, -1.0)),
            R"({"type":"number","re":2.5,"im":-1})");
  EXPECT_EQ(json_value(std::make_shared<Cvd::NumVal>(nan, inf)),
            R"({"type":"number","re":"NaN","im":"Infinity"})");
  EXPECT_EQ(json_value(std::make_shared<Cvd::StrVal>(u"a\"\\\n\t\x01")),
            R"({"type":"string","value":"a\"\\\n\t\u0001"})");
  EXPECT_EQ(json_value(mat({{1, 2}, {3, -inf}})),
            R"({"type":"matrix","rows":2,"cols":2,"data":[[1,2],[3,"-Infinity"]]})");
  EXPECT_EQ(json_value(Cvd::MatVal::Zeros(0, 0)),
            R"({"type":"matrix","rows":0,"cols":0,"data":[]})");
  EXPECT_EQ(json_value(Cvd::MatVal::Zeros(2, 0)),
            R"({"type":"matrix","rows":2,"cols":0,"data":[[],[]]})");
  // Pairs in a complex matrix; nested elements as objects.
  Cvd::Ref nested = build_matrix(
      1, 3,
      {std::make_shared<Cvd::NumVal>(1.0, 2.0), std::make_shared<Cvd::StrVal>(u"x"),
       build_matrix(1, 1, {build_matrix(1, 1, {std::make_shared<Cvd::NumVal>(5.0)})})});
  EXPECT_EQ(json_value(nested),
            R"({"type":"matrix","rows":1,"cols":3,"data":[[[1,2],{"type":"string","value":"x"},)"
            R"({"type":"matrix","rows":1,"cols":1,"data":[[{"type":"matrix","rows":1,"cols":1,)"
            R"("data":[[5]]}]]}]]})");
}

TEST(JsonOutput, ErrorsKeepTheMessageRawAndMapTheIndex) {
  Diagnostic d;
  d.message = "too_many_arguments\t6\t7";
  d.index = Kex::kWholeCall;
  EXPECT_EQ(json_error(d), R"({"type":"error","message":"too_many_arguments\t6\t7","arg":null})");
  d.message = "must be string";
  d.index = 3;
  EXPECT_EQ(json_error(d), R"({"type":"error","message":"must be string","arg":3})");
  d.index = 0;
  EXPECT_EQ(json_error(d), R"({"type":"error","message":"must be string","arg":0})");
}

TEST(JsonOutput, TextOfEveryKindReadsBackAsTheSameCharacters) {
  if (!kexio_test::have_python_json()) GTEST_SKIP() << "/usr/bin/python3 with json is missing";
  std::vector<std::u16string> texts = {u"",
                                       u"plain",
                                       u"quote \" backslash \\ slash /",
                                       u"\b\f\n\r\t\x01\x1f\x7f",
                                       u"Latin-1 \u00e9\u00ff and \u20ac",
                                       u"\U0001F600 pair",
                                       std::u16string(1, 0xD800),
                                       std::u16string{u'a', 0xDC00, u'b'},
                                       std::u16string(1, u'\0'),
                                       u"\u2028\u2029"};
  std::string input, expected;
  for (const std::u16string& t : texts) {
    input += json_value(std::make_shared<Cvd::StrVal>(t)) + "\n";
    std::string codes;
    for (std::size_t i = 0; i < t.size(); ++i) {
      char32_t c = t[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < t.size() && t[i + 1] >= 0xDC00 &&
          t[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (t[++i] - 0xDC00);
      }
      codes += (codes.empty() ? "" : ",") + std::to_string(c);
    }
    expected += "s:" + codes + "\n";
  }
  // Library messages are Latin-1 bytes; they come out as those characters.
  Diagnostic d;
  d.message = latin1_to_utf8("caf\xe9\tx\x80");
  d.index = 2;
  input += json_error(d) + "\n";
  expected += "e:99,97,102,233,9,120,128:2\n";
  int status = 0;
  std::string got = kexio_test::run_python(kReadNumbers, input, status);
  ASSERT_EQ(status, 0) << got;
  EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace kexio::app
