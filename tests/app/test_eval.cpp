// Evaluation: arithmetic on numbers and matrices, matrix literals as host
// values, variables, the PRN settings, and errors marked at the part they
// belong to, a call's at the argument it names.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "kexio/host/values.h"
#include "parser.h"
#include "session.h"
#include "values.h"

namespace kexio::app {
namespace {

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
