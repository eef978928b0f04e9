// Parsing: precedence, literals, statement and row separation, nesting and
// syntax errors with their positions. Evaluation: arithmetic on numbers and
// matrices, matrix literals as host values, variables, the PRN settings, and
// errors marked at the part they belong to, a call's at the argument it
// names.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "display.h"
#include "kexio/host/values.h"
#include "parser.h"
#include "session.h"
#include "values.h"

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

class Eval : public ::testing::Test {
 protected:
  // Runs every statement of text; returns the outcome of the last one.
  Outcome run(const std::string& text) {
    m_sources.push_back(std::make_unique<Source>("t", text));
    m_statements = parse(*m_sources.back());
    Outcome last;
    for (const Statement& st : m_statements)
      last = m_session.run(st);
    return last;
  }
  Cvd::Ref value(const std::string& text) {
    Outcome o = run(text);
    EXPECT_EQ(o.kind, Outcome::Kind::Value) << text << ": " << o.error.message;
    return o.value;
  }
  Diagnostic error(const std::string& text) {
    Outcome o = run(text);
    EXPECT_EQ(o.kind, Outcome::Kind::Error) << text;
    return o.error;
  }
  // The source text the error's marker is under.
  std::string marked(const Diagnostic& d) { return std::string(m_sources.back()->slice(d.mark)); }

  // The outcome of text in one line: "nothing", "error MESSAGE at MARKED", a
  // number's "num RE IM", or a matrix's "RxC" and its real parts in
  // column-major order, then "i" and its imaginary parts if it has them.
  // Negative zeros show as -0, NaN of either sign as nan.
  std::string shown(const std::string& text) {
    Outcome o = run(text);
    if (o.kind == Outcome::Kind::Nothing) return "nothing";
    if (o.kind == Outcome::Kind::Error)
      return "error " + o.error.message + " at " + marked(o.error);
    auto part = [](double x) {
      char buf[32];
      std::snprintf(buf, sizeof buf, " %.15g", std::isnan(x) ? std::fabs(x) : x);
      return std::string(buf);
    };
    if (Cvd::NumVal* n = as_number(o.value)) return "num" + part(n->Data.rp) + part(n->Data.ip);
    Cvd::MatVal* m = as_matrix(o.value);
    if (m == nullptr) return "neither a number nor a matrix";
    std::string s = std::to_string(m->get_Rows()) + "x" + std::to_string(m->get_Cols());
    for (std::size_t i = 0; i < m->size(); ++i)
      s += part(m->real()[i]);
    if (m->get_HasImag()) s += " i";
    for (std::size_t i = 0; m->get_HasImag() && i < m->size(); ++i)
      s += part(m->imag()[i]);
    return s;
  }

  Session m_session;
  std::vector<std::unique_ptr<Source>> m_sources;
  std::vector<Statement> m_statements;
};

// Statements run in turn in one session, each with what it gives.
TEST_F(Eval, StatementsGiveTheirValuesAndErrors) {
  const char* const cases[][2] = {
      {"1 + 2 * 3", "num 7 0"},
      {"7 / 2", "num 3.5 0"},
      {"(3 - 4i) * (3 - 4i)", "num -7 -24"},
      {"(1 + 2i) / (3 + 4i)", "num 0.44 0.08"},
      {"(1 + 2i) / 2", "num 0.5 1"},
      {"2i * 2i", "num -4 0"},
      // Division by zero follows IEEE arithmetic; a real result stays real.
      {"1 / 0", "num inf 0"},
      {"0 / 0", "num nan 0"},
      // A negated real number has a zero imaginary part without a sign; a
      // negated imaginary one a real part of -0.
      {"-5", "num -5 0"},
      {"-2i", "num -0 -2"},
      {"NaN", "num nan 0"},
      // Matrices work element by element, numbers broadcast.
      {"[1, 2; 3, 4] * 2", "2x2 2 6 4 8"},
      {"10 - [1, 2; 3, 4]", "2x2 9 7 8 6"},
      {"[1, 2; 3, 4] * [1, 2; 3, 4]", "2x2 1 9 4 16"},
      {"[1, 2] / [2, 8]", "1x2 0.5 0.25"},
      {"-[1, -2]", "1x2 -1 2"},
      {"[1, 2] * (1 + 1i)", "1x2 1 2 i 1 2"},
      // An imaginary part that cancels out leaves a real matrix.
      {"[1 + 1i, 2] - [1i, 0]", "1x2 1 2"},
      {"[] + 1", "0x0"},
      // Matrix literals are column-major host matrices.
      {"[1, 2, 3; 4, 5, 6]", "2x3 1 4 2 5 3 6"},
      {"[1, 2i; -3i, 4]", "2x2 1 -0 0 4 i 0 -3 2 0"},
      // Variables; a failed statement leaves earlier assignments alone.
      {"x := 4", "nothing"},
      {"x * x", "num 16 0"},
      {"x := x + 1", "nothing"},
      {"x := y", "error 'y' is not defined at y"},
      {"x", "num 5 0"},
      // The settings take any 32-bit integer; the library checks its own range.
      {"PRNPRECISION", "num 4 0"},
      {"PRNCOLWIDTH", "num 8 0"},
      {"PRNPRECISION := -2147483648", "nothing"},
      {"PRNPRECISION", "num -2147483648 0"},
      {"PRNPRECISION := 2147483647", "nothing"},
      {"PRNPRECISION", "num 2147483647 0"},
      {"PRNPRECISION := 6; PRNCOLWIDTH := 3 * 4", "nothing"},
      // Errors are marked at the part they belong to.
      {"[1, 2] + [1; 2]", "error cannot add matrices of different sizes (1×2 and 2×1) at +"},
      {"1 + \"a\"", "error arithmetic needs numbers, not a string at \"a\""},
      {"-[1, \"a\"]",
       "error arithmetic needs numbers; this 1×2 matrix holds text or nested matrices at "
       "[1, \"a\"]"},
      {"READPRN", "error READPRN is a function: call it as READPRN(file) at READPRN"},
      {"NaN := 1", "error NaN is a constant and cannot be assigned at NaN"},
      // Calls: the library's errors are marked at the argument they name.
      {"READPRN(1 + 2)", "error must be string at 1 + 2"},
      // The whole call: the library's count check of an argument list.
      {"READBIN(\"a\")", "error too_few_arguments\t2\t1 at READBIN(\"a\")"},
      {"READBIN(\"a\", \"b\", 1, 2, 3, 4, 5)",
       "error too_many_arguments\t6\t7 at READBIN(\"a\", \"b\", 1, 2, 3, 4, 5)"},
      // An error of a call inside another expression marks that call's argument.
      {"[1, READ_BLUE(42) + 1]", "error must be string at 42"},
      // Each function checks its arguments in the order the user writes them,
      // every argument of every form (READBIN's after the second in the worker).
      {"READFILE(1, \"csv\")", "error must be string at 1"},
      {"READFILE(\"a\", 2)", "error must be string at 2"},
      {"WRITEPRN(1, 2)", "error must be string at 1"},
      {"WRITEPRN(\"f\", \"v\")", "error must be a scalar or a matrix at \"v\""},
      {"APPENDPRN(1, [1])", "error must be string at 1"},
      {"APPENDPRN(\"f\", 1)", "error must be matrix at 1"},
      {"WRITERGB(1, [1])", "error must be string at 1"},
      {"WRITEBMP(\"f\", [1, \"a\"])", "error must be scalar matrix at [1, \"a\"]"},
      {"READBIN(1, \"byte\")", "error must be string at 1"},
      {"READBIN(\"f\", 2)", "error must be string at 2"},
      {"READBIN(\"f\", \"byte\", \"e\")", "error must be scalar at \"e\""},
      {"READBIN(\"f\", \"byte\", \"e\", 1, \"skip\")", "error must be scalar at \"skip\""},
      {"READBIN(\"f\", \"byte\", 0, 1, 0, [1])", "error must be scalar at [1]"},
      {"WRITEBIN(1, \"byte\", 0, [1])", "error must be string at 1"},
      {"WRITEBIN(\"f\", 2, 0, [1])", "error must be string at 2"},
      {"WRITEBIN(\"f\", \"byte\", \"e\", [1])", "error must be scalar at \"e\""},
      {"WRITEBIN(\"f\", \"byte\", 0, 1)", "error must be scalar matrix at 1"},
      {"READRAW(1, 1, 1, 1, \"byte\", 0)", "error must be string at 1"},
      {"READRAW(\"f\", \"x\", 1, 1, \"byte\", 0)", "error must be scalar at \"x\""},
      {"READRAW(\"f\", 1, \"y\", 1, \"byte\", 0)", "error must be scalar at \"y\""},
      {"READRAW(\"f\", 1, 2, \"z\", \"byte\", 0)", "error must be scalar at \"z\""},
      {"READRAW(\"f\", 1, 2, 3, 4, 5)", "error must be string at 4"},
      {"READRAW(\"f\", 1, 2, 3, \"s\", \"k\")", "error must be scalar at \"k\""},
      // The writing form takes the matrix last although the method takes it first.
      {"WRITERAW(1, 1, \"s\", [1])", "error must be string at 1"},
      {"WRITERAW(\"f\", \"x\", \"s\", [1])", "error must be scalar at \"x\""},
      {"READRAW(\"f\", 1, 2, [1])", "error must be string at 2"},
      {"WRITERAW(\"f\", 1, \"s\", \"m\")", "error must be scalar matrix at \"m\""},
      {"WRITEWAV(1, 8000, 8, [1])", "error must be string at 1"},
      {"WRITEWAV(\"f\", \"r\", 8, [1])", "error must be scalar at \"r\""},
      {"WRITEWAV(\"f\", 8000, \"b\", [1])", "error must be scalar at \"b\""},
      {"WRITEWAV(\"f\", 8000, 8, [1, \"a\"])", "error must be scalar matrix at [1, \"a\"]"},
      {"SaveColormap(1, [1, 2, 3])", "error must be string at 1"},
      {"SaveColormap(\"n\", 1)", "error must be real matrix at 1"},
      {"SaveColormap(\"n\", [1, 2i])", "error must be real matrix at [1, 2i]"},
      {"csketchfile_cvs(3)", "error must be string at 3"},
      // The host's own checks: the count of arguments and the name.
      {"READPRN(\"a\", \"b\")",
       "error READPRN takes 1 argument, not 2: READPRN(file) at READPRN(\"a\", \"b\")"},
      {"READRAW(1, 2, 3, 4, 5)",
       "error READRAW takes 6 or 4 arguments, not 5: READRAW(file, X, Y, Z, S, K) or "
       "READRAW(file, X, S, matrix) at READRAW(1, 2, 3, 4, 5)"},
      {"readbin(\"a\", \"b\")", "error unknown function 'readbin' at readbin"},
      // Arguments are evaluated before the call: their errors come first.
      {"READPRN(q)", "error 'q' is not defined at q"},
      // Indexing is 1-based; ranges are inclusive and cut at the end.
      {"m := [1, 2, 3; 4, 5, 6; 7, 8, 9]", "nothing"},
      {"m[2, 3]", "num 6 0"},
      {"m[3, :]", "1x3 7 8 9"},
      {"m[:, 2]", "3x1 2 5 8"},
      {"m[2..3, 1..2]", "2x2 4 7 5 8"},
      {"m[2..9, 3]", "2x1 6 9"},
      {"m[:, 3][2]", "num 6 0"},
      {"m[1, :][2..3]", "1x2 2 3"},
      {"[1, 2i; 3, 4][1, 2]", "num 0 2"},
      {"m[0, 1]", "error must be positive integer at 0"},
      {"m[1.5, 1]", "error must be integer at 1.5"},
      {"m[1, \"a\"]", "error must be scalar at \"a\""},
      {"m[4, 1]", "error the matrix has only 3 rows at 4"},
      {"m[1, 2 + 2]", "error the matrix has only 3 columns at 2 + 2"},
      {"m[3..2, 1]", "error upper bound must be bigger at 3..2"},
      {"m[2]", "error a matrix takes a row and a column, as in m[2, 3] at 2"},
      {"[][1, 1]", "error the matrix has no rows at 1"},
      {"x[1]", "error must be matrix at x"},
      {"[1, 2, 3][4]", "error the matrix has only 3 elements at 4"},
      // The language's own functions over all elements of a real matrix.
      {"rows(m) * 10 + cols(m[1..2, :]) + rows(5) + cols([])", "num 34 0"},
      {"sum(m) + sum([])", "num 45 0"},
      {"mean(m[:, 2])", "num 5 0"},
      {"min(m - 5) * 10 + max(m)", "num -31 0"},
      {"max([1, NaN, 3])", "num nan 0"},
      {"transpose(m[1..2, :])", "3x2 1 2 3 4 5 6"},
      {"sum([1, 2i])", "error must be real matrix at [1, 2i]"},
      {"mean([])", "error must not be empty at []"},
      {"rows(\"a\")", "error must be matrix at \"a\""},
      {"PLOT([1; 2], [1, 2; 3, 4])", "2x2 1 3 2 4"},
      {"PLOT([1, 2, 3], [1; 2])", "error must have as many elements as y has rows at [1, 2, 3]"},
      {"PLOT([1, 2; 3, 4], [5; 6; 7; 8])", "error must be a vector at [1, 2; 3, 4]"},
      {"PLOT([])", "error must not be empty at []"},
      {"PLAY([0; 1], 8000)", "2x1 0 1"},
      {"PLAY([0; 1], 0)", "error must be positive at 0"},
      {"PLAY([0; 1], 8000, 40)", "error BAD_RESOLUTION at 40"},
  };
  for (const auto& [text, want] : cases)
    EXPECT_EQ(shown(text), want) << text;
  EXPECT_EQ(m_session.prn_precision(), 6);
  EXPECT_EQ(m_session.prn_colwidth(), 12);
  EXPECT_TRUE(as_matrix(value("[1, 2]"))->get_IsRealMatrix());

  Diagnostic d = error("READPRN(1 + 2)");
  EXPECT_TRUE(d.from_library);
  EXPECT_EQ(d.index, 1u);
  EXPECT_EQ(error("READBIN(\"a\")").index, Kex::kWholeCall);
}

TEST_F(Eval, NestedElementsOfMatrixLiterals) {
  // A matrix or string inside is one nested element in the element table.
  Cvd::Ref n = value("x := [7, 8]; [1, x; \"ab\", 4i]");
  Cvd::MatVal* nm = as_matrix(n);
  ASSERT_TRUE(nm != nullptr && nm->m_parr);
  EXPECT_EQ(nm->m_parr->size(), 2u);
  EXPECT_FALSE(nm->get_IsRealMatrix());
  EXPECT_TRUE(Cvd::IsNestedSlot(nm->real()[1]) && Cvd::IsNestedSlot(nm->real()[2]));
  Cvd::NumVal num;
  Cvd::Ref text = nm->get_2_na(num, 1, 0), inner = nm->get_2_na(num, 0, 1);
  ASSERT_NE(as_string(text), nullptr);
  EXPECT_EQ(as_string(text)->m_str, u"ab");
  ASSERT_NE(as_matrix(inner), nullptr);
  EXPECT_EQ(std::vector<double>(as_matrix(inner)->real(), as_matrix(inner)->real() + 2),
            (std::vector<double>{7, 8}));
  EXPECT_EQ(nm->get_2_na(num, 1, 1), nullptr);
  EXPECT_EQ(num.Data.ip, 4.0);
  // A 1×1 matrix inside stays a matrix.
  Cvd::Ref one = value("[[5]]");
  ASSERT_TRUE(as_matrix(one)->m_parr);
  EXPECT_NE(as_matrix(as_matrix(one)->m_parr->at(0)), nullptr);
}

TEST_F(Eval, SettingsRefuseWhatIsNoInteger) {
  run("PRNPRECISION := 6; PRNCOLWIDTH := 12");
  for (const char* bad :
       {"2.5", "2147483648", "-2147483649", "3 + 1i", "[4]", "\"4\"", "NaN", "1/0"}) {
    for (const char* setting : {"PRNPRECISION", "PRNCOLWIDTH"}) {
      std::string text = std::string(setting) + " := " + bad;
      Diagnostic d = error(text);
      EXPECT_EQ(d.message, "must be integer") << text;
      EXPECT_EQ(d.index, Kex::kWholeCall) << text;
      EXPECT_EQ(marked(d), text);
    }
  }
  EXPECT_EQ(m_session.prn_precision(), 6);
  EXPECT_EQ(m_session.prn_colwidth(), 12);
}
// Where a call's error is marked and what the note beside the marker says:
// under the argument it names, the whole call, the name when it names no
// argument, the closing bracket when it names one not given.
TEST(CallErrors, AreMarkedWhereTheirIndexPoints) {
  Source src("t", "READBIN(\"a\", 2 * 3)");
  std::vector<Statement> sts = parse(src);
  auto place = [&](std::uint32_t index) {
    Diagnostic d;
    d.index = index;
    place_call_error(d, *sts[0].expr);
    return std::string(src.slice(d.mark)) + " | " + d.note;
  };
  EXPECT_EQ(place(0), "READBIN | not tied to a particular argument");
  EXPECT_EQ(place(2), "2 * 3 | argument 2");
  EXPECT_EQ(place(Kex::kWholeCall), "READBIN(\"a\", 2 * 3) | the call as a whole");
  EXPECT_EQ(place(5), ") | argument 5, which was not given");
}

}  // namespace
}  // namespace kexio::app
