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
#include "support.h"
#include "support/values.h"
#include "text.h"
#include "values.h"

namespace kexio::app {
namespace {

using kexio_test::lines_of;
using kexio_test::mat;
using kexio_test::num;
using kexio_test::str;

TEST(TextOutput, NumbersAreShortAndReadable) {
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
  EXPECT_EQ(text_value(num(1.5, -2.0), style), "1.5 - 2i\n");
  EXPECT_EQ(text_value(str(u"a\"b\\c\n\t\x01é"), style), "\"a\\\"b\\\\c\\n\\t\\x01é\"\n");
  EXPECT_EQ(text_value(mat({{1, 2.5}, {-10, 300}}), style),
            "2×2 matrix\n"
            "    1  2.5\n"
            "  -10  300\n");
  EXPECT_EQ(text_value(build_matrix(2, 2, {num(1, 2), num(-30), num(4, -0.5), str(u"ab")}), style),
            "2×2 complex matrix\n"
            "  1 + 2i    -30 + 0i\n"
            "  4 - 0.5i      \"ab\"\n");
  EXPECT_EQ(text_value(Cvd::MatVal::Zeros(0, 3), style), "0×3 matrix\n");
  // Two characters too wide: columns alone are left out, and that is said.
  EXPECT_EQ(text_value(mat({{1000, 2000, 3000000}}), TextStyle{.width = 19}),
            "1×3 matrix (abridged)\n  1000  2000  …\n");
  // Nested elements show their size or the start of their text.
  EXPECT_EQ(text_value(build_matrix(1, 3,
                                    {Cvd::MatVal::Zeros(2, 3),
                                     str(u"a text longer than twenty characters"), num(7)}),
                       style),
            "1×3 matrix\n  {2×3}  \"a text longer than t…\"  7\n");
}

TEST(TextOutput, LargeMatricesAreAbridgedToTheLineWidth) {
  auto m = Cvd::MatVal::Zeros(500, 300);
  for (std::uint32_t i = 0; i < 500 * 300; ++i)
    m->real()[i] = i % 500 * 1000 + i / 500;  // row * 1000 + column
  TextStyle style;
  style.width = 80;
  std::vector<std::string> lines = lines_of(text_value(m, style));
  EXPECT_EQ(lines[0], "500×300 matrix (abridged)");
  EXPECT_LE(lines.size(), style.max_rows + 2);
  for (const std::string& l : lines)
    EXPECT_LE(char_count(l), style.width) << l;
  // The first and last elements are shown, with ellipses for what is left out.
  EXPECT_EQ(lines[1].substr(lines[1].find_first_not_of(' '), 2), "0 ") << lines[1];
  EXPECT_NE(lines[1].find("…"), std::string::npos);
  EXPECT_NE(lines.back().find("499299"), std::string::npos) << lines.back();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("⋮") != std::string::npos; }),
            1);
  // A matrix that fits is shown whole.
  std::vector<std::string> small = lines_of(text_value(Cvd::MatVal::Zeros(16, 20), style));
  EXPECT_EQ(small.size(), 17u);
  EXPECT_EQ(small[0], "16×20 matrix");
}

TEST(TextOutput, MessageKeysReadAsEnglish) {
  EXPECT_EQ(plain_message("too_few_arguments\t2\t1"),
            "too few arguments: at least 2 needed, 1 given");
  EXPECT_EQ(plain_message("odd\tmessage"), "odd message");
}

// The error shown under the last statement of a source text.
std::string shown(const std::string& name, const std::string& text, const Diagnostic& d) {
  Source src(name, text);
  return text_error(src, parse(src).back(), d, TextStyle{});
}

TEST(TextOutput, ErrorsShowTheStatementWithAMarkerUnderTheirPart) {
  std::string text = "x := 1\ny := READPRN(\"é.prn\", 2) + 1\n";
  std::size_t two = text.find("2)");
  EXPECT_EQ(shown("script.kx", text,
                  {.message = "too_many_arguments\t6\t7",
                   .from_library = true,
                   .mark = {two, two + 1},
                   .note = "argument 2",
                   .detail = "why it failed",
                   .hint = "what to do",
                   .line = 2}),
            "script.kx:2:23: error: too many arguments: at most 6 allowed, 7 given\n"
            "2 | y := READPRN(\"é.prn\", 2) + 1\n"
            "  |                       ^ argument 2\n"
            "  = note: why it failed\n"
            "  = help: what to do\n");
  // A mark over several lines of one statement.
  text = "z := [1, 2\n 3, READ_RED(\n 4)]\n";
  EXPECT_EQ(shown("m", text,
                  {.message = "not available in this build",
                   .mark = {text.find("READ_RED"), text.find(")") + 1},
                   .note = "the call as a whole",
                   .detail = {},
                   .hint = {},
                   .line = 0}),
            "m:2:5: error: not available in this build\n"
            "1 | z := [1, 2\n"
            "2 |  3, READ_RED(\n"
            "  |     ^^^^^^^^^\n"
            "3 |  4)]\n"
            "  | ^^^ the call as a whole\n");
}

// --- JSON -------------------------------------------------------------------

std::vector<double> sample_doubles() {
  using L = std::numeric_limits<double>;
  std::vector<double> v = {
      0.0, 1.0, 0.1, 0.1 + 0.2, 1.0 / 3, 1e21, 1e-7, 123456789012345680.0, 9007199254740993.0};
  for (double d : {L::max(), L::min(), L::denorm_min(), L::epsilon(), L::infinity()})
    v.push_back(d);
  for (std::size_t i = 0, n = v.size(); i < n; ++i)
    v.push_back(-v[i]);
  v.push_back(L::quiet_NaN());
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

// Reads every JSON line: prints the two numbers of a number as float.hex()
// ("nan", "inf", "-inf" for the strings NaN and infinities), and the UTF-16
// units of a string or an error message.
const char* const kReadBack = R"(
import json, sys
def num(x):
    assert type(x) in (int, float) or x in ("NaN", "Infinity", "-Infinity"), x
    return float(x).hex()
def units(s):
    b = s.encode("utf-16-le", "surrogatepass")
    return ",".join(str(b[i] | b[i + 1] << 8) for i in range(0, len(b), 2))
for line in open(sys.argv[1], encoding="utf-8"):
    v = json.loads(line)
    if v["type"] == "number":
        print(num(v["re"]), num(v["im"]))
    elif v["type"] == "string":
        print("s:" + units(v["value"]))
    else:
        print("e:" + units(v["message"]) + ":" + json.dumps(v["arg"]))
)";

// Numbers and texts are the next test's part; real matrices are the
// worksheet tests' (their --json runs).
TEST(JsonOutput, MatrixShapesAndErrors) {
  EXPECT_EQ(json_value(build_matrix(2, 2, {num(1, 2), num(3), num(4, -1), num(0, 5)})),
            R"({"type":"matrix","rows":2,"cols":2,"data":[[[1,2],[3,0]],[[4,-1],[0,5]]]})");
  EXPECT_EQ(json_value(Cvd::MatVal::Zeros(0, 0)),
            R"({"type":"matrix","rows":0,"cols":0,"data":[]})");
  EXPECT_EQ(json_value(Cvd::MatVal::Zeros(2, 0)),
            R"({"type":"matrix","rows":2,"cols":0,"data":[[],[]]})");
  // Nested elements as objects.
  EXPECT_EQ(json_value(build_matrix(
                1, 2, {str(u"x"), build_matrix(1, 1, {build_matrix(1, 1, {num(5)})})})),
            R"({"type":"matrix","rows":1,"cols":2,"data":[[{"type":"string","value":"x"},)"
            R"({"type":"matrix","rows":1,"cols":1,"data":[[{"type":"matrix","rows":1,"cols":1,)"
            R"("data":[[5]]}]]}]]})");
  // Errors keep the library's message raw; the index of the call as a whole is null.
  Diagnostic d;
  d.message = "too_many_arguments\t6\t7";
  EXPECT_EQ(json_error(d), R"({"type":"error","message":"too_many_arguments\t6\t7","arg":null})");
  d.index = 0;
  EXPECT_EQ(json_error(d), R"({"type":"error","message":"too_many_arguments\t6\t7","arg":0})");
}

// Texts of every kind and an error read back as the same characters (library
// messages are Latin-1 bytes, which come out as those characters), and
// numbers as the same doubles: Python's float.hex() of each, which strtod
// reads exactly.
TEST(JsonOutput, TextsAndDoublesReadBackExactly) {
  if (!kexio_test::have_python("json")) GTEST_SKIP() << "/usr/bin/python3 with json is missing";
  std::vector<std::u16string> texts = {u"",
                                       u"plain",
                                       u"quote \" backslash \\ slash /",
                                       u"\b\f\n\r\t\x01\x1f\x7f",
                                       u"Latin-1 \u00e9\u00ff and \u20ac",
                                       u"\U0001F600 pair",
                                       u"\u2028\u2029"};
  // Lone surrogates, and a NUL.
  texts.insert(texts.end(), {{0xD800}, {u'a', 0xDC00, u'b'}, {u'\0'}});
  std::string input, expected;
  for (const std::u16string& t : texts) {
    input += json_value(str(t)) + "\n";
    std::string units;
    for (char16_t u : t)
      units += (units.empty() ? "" : ",") + std::to_string(u);
    expected += "s:" + units + "\n";
  }
  Diagnostic d;
  d.message = latin1_to_utf8("caf\xe9\tx\x80");
  d.index = 2;
  input += json_error(d) + "\n";
  expected += "e:99,97,102,233,9,120,128:2\n";
  std::vector<double> values = sample_doubles();
  values.resize(values.size() / 2 * 2);
  for (std::size_t i = 0; i < values.size(); i += 2)
    input += json_value(num(values[i], values[i + 1])) + "\n";
  int status = 0;
  std::string got = kexio_test::run_python(kReadBack, input, status);
  ASSERT_EQ(status, 0) << got.substr(0, 2000);
  EXPECT_EQ(got.substr(0, expected.size()), expected);
  std::istringstream tokens(got.substr(expected.size()));
  std::size_t n = 0, bad = 0;
  for (std::string t; tokens >> t; ++n) {
    double x = std::strtod(t.c_str(), nullptr), w = n < values.size() ? values[n] : 0.0;
    bad += std::isnan(w) ? !std::isnan(x) : (x != w || std::signbit(x) != std::signbit(w));
  }
  EXPECT_EQ(n, values.size());
  EXPECT_EQ(bad, 0u);
}

}  // namespace
}  // namespace kexio::app
