// Parsing: precedence, literals, statement and row separation, nesting and
// syntax errors with their positions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "display.h"
#include "parser.h"

namespace kexio::app {
namespace {

// The tree written back with every operation in parentheses.
std::string show(const Expr& e) {
  char buf[64];
  switch (e.kind) {
    case Expr::Kind::Number:
      std::snprintf(buf, sizeof buf, "%.17g", e.im != 0.0 ? e.im : e.re);
      return std::string(buf) + (e.im != 0.0 ? "i" : "");
    case Expr::Kind::String:
      return string_literal(e.str);
    case Expr::Kind::Var:
      return e.name;
    case Expr::Kind::Neg:
      return "(-" + show(*e.args[0]) + ")";
    case Expr::Kind::Binary:
      return "(" + show(*e.args[0]) + " " + e.op + " " + show(*e.args[1]) + ")";
    case Expr::Kind::Call: {
      std::string s = e.name + "(";
      for (std::size_t i = 0; i < e.args.size(); ++i)
        s += (i ? ", " : "") + show(*e.args[i]);
      return s + ")";
    }
    case Expr::Kind::Index:
      return show(*e.args[0]) + "[" + show(*e.args[1]) +
             (e.args.size() > 2 ? ", " + show(*e.args[2]) : "") + "]";
    case Expr::Kind::All:
      return ":";
    case Expr::Kind::Range:
      return show(*e.args[0]) + ".." + show(*e.args[1]);
    case Expr::Kind::Matrix: {
      std::string s = "[";
      for (std::size_t i = 0; i < e.args.size(); ++i) {
        if (i) s += i % e.cols == 0 ? "; " : ", ";
        s += show(*e.args[i]);
      }
      return s + "]";
    }
  }
  return "?";
}

using Lines = std::vector<std::string>;

// Every statement of text: "target := tree", "tree", or "error L:C message".
Lines statements(const std::string& text) {
  Source src("t", text);
  std::vector<std::string> out;
  for (const Statement& st : parse(src)) {
    if (st.error) {
      std::size_t line = src.line_index(st.error->at.begin);
      out.push_back("error " + std::to_string(src.line_number(line)) + ":" +
                    std::to_string(src.column(st.error->at.begin)) + " " + st.error->message);
    } else {
      out.push_back((st.target.empty() ? "" : st.target + " := ") + show(*st.expr));
    }
  }
  return out;
}

std::string one(const std::string& text) {
  auto s = statements(text);
  return s.size() == 1 ? s[0] : "<" + std::to_string(s.size()) + " statements>";
}

// The text of a one-statement string literal, or a note of what it was.
std::u16string string_of(const std::string& text) {
  Source src("t", text);
  std::vector<Statement> sts = parse(src);
  if (sts.size() != 1 || sts[0].error || sts[0].expr->kind != Expr::Kind::String) {
    return u"<not one string: " + std::u16string(text.begin(), text.end()) + u">";
  }
  return sts[0].expr->str;
}

TEST(Parser, OperatorsBindByPrecedenceAndFromTheLeft) {
  EXPECT_EQ(one("1 + 2 * 3 - 4 / 5"), "((1 + (2 * 3)) - (4 / 5))");
  EXPECT_EQ(one("a / b * c"), "((a / b) * c)");
  EXPECT_EQ(one("(1 + 2) * 3"), "((1 + 2) * 3)");
  EXPECT_EQ(one("-2 * 3"), "((-2) * 3)");
  EXPECT_EQ(one("2 * -3"), "(2 * (-3))");
  EXPECT_EQ(one("--x"), "(-(-x))");
  EXPECT_EQ(one("+x"), "x");
  EXPECT_EQ(one("F(1 + 2, -G(x) * 2)"), "F((1 + 2), ((-G(x)) * 2))");
  EXPECT_EQ(one("F()"), "F()");
  // Indexing binds tighter than any operator; its parts are values, ranges or ':'.
  EXPECT_EQ(one("-m[1, 2] * 3"), "((-m[1, 2]) * 3)");
  EXPECT_EQ(one("m[i + 1, :]"), "m[(i + 1), :]");
  EXPECT_EQ(one("m[1..n - 1, 2..3]"), "m[1..(n - 1), 2..3]");
  EXPECT_EQ(one("F(x)[:, 2][1]"), "F(x)[:, 2][1]");
  EXPECT_EQ(one("m[1,\n 2]"), "m[1, 2]");
}

TEST(Parser, NumberLiteralsReadExactlyAndImaginarySuffixes) {
  for (const char* t : {"1", ".5", "1e-3", "2.5E+2", "1.", "0.1", "123456789012345678901234567890",
                        "4.9406564584124654e-324", "2.2250738585072011e-308", "1e999"}) {
    char exact[40];
    std::snprintf(exact, sizeof exact, "%.17g", std::strtod(t, nullptr));
    EXPECT_EQ(one(t), exact) << t;
  }
  EXPECT_EQ(one("1.5e3j"), "1500i");
  EXPECT_EQ(one("3 - 4i"), "(3 - 4i)");
  // A name right after a number is no number.
  EXPECT_EQ(one("2x"), "error 1:1 malformed number '2x'");
  EXPECT_EQ(one("2ij"), "error 1:1 malformed number '2ij'");
  EXPECT_EQ(one("1e+"), "error 1:1 malformed number: the exponent has no digits");
  EXPECT_EQ(one("1.2.3"), "error 1:1 malformed number '1.2.3'");
  // Two dots after digits are a range's, not the number's.
  EXPECT_EQ(one("m[1..3]"), "m[1..3]");
  EXPECT_EQ(one("m[.5...5]"), "m[0.5..0.5]");
}

TEST(Parser, StringEscapesBecomeUtf16) {
  EXPECT_EQ(string_of(R"("q\" b\\ n\n t\t x\x41\xe9 u\u{E9}\u{20AC}\u{1F600} raw é€")"),
            u"q\" b\\ n\n t\t xA\u00e9 u\u00e9\u20ac\U0001F600 raw \u00e9\u20ac");
  // Above U+FFFF: a surrogate pair.
  EXPECT_EQ(string_of(R"("\u{10FFFF}")"), std::u16string({0xDBFF, 0xDFFF}));
  EXPECT_EQ(string_of(R"("")"), u"");

  for (const char* bad : {R"("\q")", R"("\x4")", R"("\u20AC")", R"("\u{}")", R"("\u{1234567}")",
                          R"("\u{110000}")", R"("\u{D800}")"}) {
    std::string r = one(bad);
    EXPECT_EQ(r.rfind("error 1:2 ", 0), 0u) << bad << " gave " << r;
  }
  EXPECT_EQ(one("\"abc"),
            "error 1:1 unterminated string: a string ends with '\"' on the same line");
  // An unterminated string does not swallow the next line.
  EXPECT_EQ(statements("x := \"abc\ny").back(), "y");
}

TEST(Parser, StatementsEndAtLineBreaksAndSemicolonsOutsideBrackets) {
  EXPECT_EQ(statements("a := 1; b := 2\nc"), (Lines{"a := 1", "b := 2", "c"}));
  EXPECT_EQ(statements("\n\n;; 1 ;\n\n"), (Lines{"1"}));
  EXPECT_EQ(statements("1 # a comment; 2\n# only a comment\n3"), (Lines{"1", "3"}));
  EXPECT_EQ(statements("\"# not a comment\""), (Lines{"\"# not a comment\""}));
  // Inside parentheses a line break is white space.
  EXPECT_EQ(statements("F(1,\n  2\n)\n(1\n+ 2)"), (Lines{"F(1, 2)", "(1 + 2)"}));
  // Inside a matrix a line break ends a row, except next to separators.
  EXPECT_EQ(one("[1, 2\n 3, 4]"), "[1, 2; 3, 4]");
  EXPECT_EQ(one("[\n 1,\n 2\n]"), "[1, 2]");
  EXPECT_EQ(one("[1, 2;\n 3, 4\n;5, 6]"), "[1, 2; 3, 4; 5, 6]");
  EXPECT_EQ(one("[1; 2;]"), "[1; 2]");
  EXPECT_EQ(one("[F(1,\n2)]"), "[F(1, 2)]");
  EXPECT_EQ(one("x := [1; 2]"), "x := [1; 2]");
  EXPECT_EQ(one("[]"), "[]");
}

TEST(Parser, MatrixLiteralsNestMatricesAndStrings) {
  EXPECT_EQ(one(R"([[1, 2], "a"; [3], [[4]]])"), R"([[1, 2], "a"; [3], [[4]]])");

  EXPECT_EQ(one("[1, 2; 3]"), "error 1:8 row 2 of the matrix has 1 element but row 1 has 2");
  EXPECT_EQ(one("[1, 2\n3, 4, 5]"), "error 2:1 row 2 of the matrix has 3 elements but row 1 has 2");
  EXPECT_EQ(one("[1;; 2]"), "error 1:4 empty row in a matrix");
  EXPECT_EQ(one("[1, ]"), "error 1:5 expected an element after ','");
  EXPECT_EQ(one("[1 2]"), "error 1:4 expected ',', ';' or ']' in a matrix, found number 2");
  EXPECT_EQ(one("x := [1, 2"), "error 1:6 the matrix opened here is not closed: expected ']'");
  EXPECT_EQ(one("[1, [2,\n"), "error 1:5 the matrix opened here is not closed: expected ']'");
}

TEST(Parser, SyntaxErrorsGiveLineAndColumnAndParsingGoesOn) {
  EXPECT_EQ(statements("x := 1\ny := (2 + 3\nz := 4"),
            (Lines{"x := 1",
                   "error 3:1 expected ')' to close the '(' at column 6, "
                   "found 'z'"}));
  EXPECT_EQ(statements("1 +\n2"), (Lines{"error 1:4 expected a value (a number, a string, a name, "
                                         "'(' or '['), found the end of the line",
                                         "2"}));
  // After an error, the next statement on the same line still parses.
  EXPECT_EQ(statements("1 +; 2; [1;; 2]; 3; (4 ; 5); 6"),
            (Lines{"error 1:4 expected a value (a number, a string, a name, '(' or '['), found ';'",
                   "2", "error 1:12 empty row in a matrix", "3",
                   "error 1:24 expected ')' to close the '(' at column 21, found ';'", "6"}));
  EXPECT_EQ(one("READPRN(1,\n2\n"), "error 1:8 the '(' of READPRN is not closed: expected ')'");
  EXPECT_EQ(one("2 * (1 +\n 3"), "error 1:5 the '(' here is not closed: expected ')'");
  EXPECT_EQ(one(std::string("\xEF\xBB\xBF") + "1"), "1");  // a byte order mark is skipped
  EXPECT_EQ(one("1 2"),
            "error 1:3 expected an operator or the end of the statement, found number 2");
  EXPECT_EQ(one("READPRN(\"a\" \"b\")"),
            "error 1:13 expected ',' or ')' after argument 1 of READPRN, found a string");
  EXPECT_EQ(one("x = 3"), "error 1:3 unexpected '='");
  EXPECT_EQ(one("2 ^ 3"), "error 1:3 unexpected '^': there is no power operator");
  EXPECT_EQ(one("1 := 2"), "error 1:3 only a name can be assigned to, as in x := 1");
  EXPECT_EQ(one("a : b"), "error 1:3 expected ':=' (assignment)");
  EXPECT_EQ(one("F(a : b)"), "error 1:5 expected ':=' (assignment)");
  EXPECT_EQ(one("m[1, 2, 3]"),
            "error 1:9 an index has a row and a column, as in m[2, 3], or one part for a vector");
  EXPECT_EQ(one("m[1 2]"), "error 1:5 expected ',' or ']' in an index, found number 2");
  EXPECT_EQ(one("m[1, 2"), "error 1:2 the '[' of this index is not closed: expected ']'");
  EXPECT_EQ(one("[1 [2]]"), "error 1:4 expected ',', ';' or ']' in a matrix, found '['");
  EXPECT_EQ(one("1..2"), "error 1:2 expected an operator or the end of the statement, found '..'");
  EXPECT_EQ(one("é"), "error 1:1 unexpected 'é'");
  // Columns count characters, not bytes.
  EXPECT_EQ(one("\"é€\" $"), "error 1:6 unexpected '$'");
}

TEST(Parser, DeepNestingIsAnErrorNotACrash) {
  for (const std::string& text :
       {std::string(100000, '(') + "1", std::string(100000, '-') + "1", std::string(100000, '[')}) {
    auto s = statements(text + "\n2");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_NE(s[0].find("nested too deeply"), std::string::npos) << s[0];
    EXPECT_EQ(s[1], "2");
  }
  EXPECT_EQ(one(std::string(150, '(') + "1" + std::string(150, ')')), "1");
}

TEST(Parser, InteractiveInputWaitsForOpenBrackets) {
  for (const char* open : {"[1, 2\n", "READPRN(\n", "[F(1), (2\n", "m[1,\n"})
    EXPECT_TRUE(needs_more_input(Source("t", open))) << open;
  for (const char* complete : {"[1, 2]\n", "\"[\"\n", "1 # [\n", "]\n", "1 +\n"})
    EXPECT_FALSE(needs_more_input(Source("t", complete))) << complete;
}

}  // namespace
}  // namespace kexio::app
