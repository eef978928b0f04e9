// Evaluation: arithmetic on numbers and matrices, matrix literals as host
// values, variables, the PRN settings, and errors marked at the part they
// belong to, a call's at the argument it names.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

  Session m_session;
  std::vector<std::unique_ptr<Source>> m_sources;
  std::vector<Statement> m_statements;
};

void expect_number(const Cvd::Ref& v, double re, double im) {
  Cvd::NumVal* n = as_number(v);
  ASSERT_NE(n, nullptr);
  EXPECT_DOUBLE_EQ(n->Data.rp, re);
  EXPECT_DOUBLE_EQ(n->Data.ip, im);
}

// Real parts of a matrix in column-major order.
std::vector<double> reals(const Cvd::Ref& v) {
  Cvd::MatVal* m = as_matrix(v);
  EXPECT_NE(m, nullptr);
  if (m == nullptr) return {};
  return std::vector<double>(m->real(), m->real() + m->size());
}
std::vector<double> imags(const Cvd::Ref& v) {
  Cvd::MatVal* m = as_matrix(v);
  if (m == nullptr || !m->get_HasImag()) return {};
  return std::vector<double>(m->imag(), m->imag() + m->size());
}

TEST_F(Eval, NumbersFollowRealAndComplexArithmetic) {
  expect_number(value("1 + 2 * 3"), 7, 0);
  expect_number(value("7 / 2"), 3.5, 0);
  expect_number(value("-(2 - 5)"), 3, 0);
  expect_number(value("(3 - 4i) * (3 - 4i)"), -7, -24);
  expect_number(value("(1 + 2i) / (3 + 4i)"), 0.44, 0.08);
  expect_number(value("(1 + 2i) / 2"), 0.5, 1);
  expect_number(value("2i * 2i"), -4, 0);
  // Division by zero follows IEEE arithmetic; a real result stays real.
  expect_number(value("1 / 0"), std::numeric_limits<double>::infinity(), 0);
  EXPECT_TRUE(std::isnan(as_number(value("0 / 0"))->Data.rp));
  // A negated real number has a zero imaginary part without a sign; a
  // negated imaginary one a real part of -0.
  EXPECT_FALSE(std::signbit(as_number(value("-5"))->Data.ip));
  EXPECT_TRUE(std::signbit(as_number(value("-2i"))->Data.rp));
  EXPECT_TRUE(std::isnan(as_number(value("NaN"))->Data.rp));
}

TEST_F(Eval, MatricesWorkElementByElementWithNumbersBroadcast) {
  EXPECT_EQ(reals(value("[1, 2; 3, 4] * 2")), (std::vector<double>{2, 6, 4, 8}));
  EXPECT_EQ(reals(value("10 - [1, 2; 3, 4]")), (std::vector<double>{9, 7, 8, 6}));
  EXPECT_EQ(reals(value("[1, 2; 3, 4] * [1, 2; 3, 4]")), (std::vector<double>{1, 9, 4, 16}));
  EXPECT_EQ(reals(value("[1, 2] / [2, 8]")), (std::vector<double>{0.5, 0.25}));
  EXPECT_EQ(reals(value("-[1, -2]")), (std::vector<double>{-1, 2}));
  EXPECT_EQ(imags(value("[1, 2] * (1 + 1i)")), (std::vector<double>{1, 2}));
  // An imaginary part that cancels out leaves a real matrix.
  Cvd::Ref r = value("[1 + 1i, 2] - [1i, 0]");
  EXPECT_FALSE(as_matrix(r)->get_HasImag());
  EXPECT_EQ(reals(r), (std::vector<double>{1, 2}));
  EXPECT_EQ(reals(value("[] + 1")).size(), 0u);
}

TEST_F(Eval, MatrixLiteralsBuildColumnMajorHostMatrices) {
  Cvd::Ref v = value("[1, 2, 3; 4, 5, 6]");
  EXPECT_EQ(size_text(*as_matrix(v)), "2×3");
  EXPECT_EQ(reals(v), (std::vector<double>{1, 4, 2, 5, 3, 6}));
  EXPECT_TRUE(as_matrix(v)->get_IsRealMatrix());
  EXPECT_EQ(imags(value("[1, 2i; -3i, 4]")), (std::vector<double>{0, -3, 2, 0}));

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
  EXPECT_EQ(reals(inner), (std::vector<double>{7, 8}));
  EXPECT_EQ(nm->get_2_na(num, 1, 1), nullptr);
  EXPECT_EQ(num.Data.ip, 4.0);
  // A 1×1 matrix inside stays a matrix.
  Cvd::Ref one = value("[[5]]");
  ASSERT_TRUE(as_matrix(one)->m_parr);
  EXPECT_NE(as_matrix(as_matrix(one)->m_parr->at(0)), nullptr);
}

TEST_F(Eval, VariablesAndTheirErrors) {
  EXPECT_EQ(run("x := 4").kind, Outcome::Kind::Nothing);
  expect_number(value("x * x"), 16, 0);
  run("x := x + 1");
  expect_number(value("x"), 5, 0);

  EXPECT_EQ(error("readprn").hint, "did you mean the function READPRN?");
  // A failed statement leaves earlier assignments alone.
  error("x := y");
  expect_number(value("x"), 5, 0);
}

TEST_F(Eval, SettingsTakeIntegersAndKeepTheirValueOtherwise) {
  expect_number(value("PRNPRECISION"), 4, 0);
  expect_number(value("PRNCOLWIDTH"), 8, 0);
  // Any 32-bit integer is taken; the library checks its own range.
  run("PRNPRECISION := -2147483648");
  EXPECT_EQ(m_session.prn_precision(), -2147483648);
  run("PRNPRECISION := 2147483647");
  EXPECT_EQ(m_session.prn_precision(), 2147483647);
  run("PRNPRECISION := 6; PRNCOLWIDTH := 3 * 4");
  EXPECT_EQ(m_session.prn_precision(), 6);
  EXPECT_EQ(m_session.prn_colwidth(), 12);

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

TEST_F(Eval, ErrorsAreMarkedAtThePartTheyBelongTo) {
  // The text, the message, the part marked.
  const char* const cases[][3] = {
      {"[1, 2] + [1; 2]", "cannot add matrices of different sizes (1×2 and 2×1)", "+"},
      {"1 + \"a\"", "arithmetic needs numbers, not a string", "\"a\""},
      {"-[1, \"a\"]", "arithmetic needs numbers; this 1×2 matrix holds text or nested matrices",
       "[1, \"a\"]"},
      {"y + 1", "'y' is not defined", "y"},
      {"READPRN", "READPRN is a function: call it as READPRN(file)", "READPRN"},
      {"NaN := 1", "NaN is a constant and cannot be assigned", "NaN"},
      // Calls: the library's errors are marked at the argument they name.
      {"READPRN(1 + 2)", "must be string", "1 + 2"},
      // The whole call: the library's count check of an argument list.
      {"READBIN(\"a\")", "too_few_arguments\t2\t1", "READBIN(\"a\")"},
      {"READBIN(\"a\", \"b\", 1, 2, 3, 4, 5)", "too_many_arguments\t6\t7",
       "READBIN(\"a\", \"b\", 1, 2, 3, 4, 5)"},
      // An error of a call inside another expression marks that call's argument.
      {"[1, READ_BLUE(42) + 1]", "must be string", "42"},
      // Each function gets its arguments in the order the user writes them.
      {"READFILE(\"a\", 2)", "must be string", "2"},
      {"WRITEPRN(\"f\", \"v\")", "must be a scalar or a matrix", "\"v\""},
      {"APPENDPRN(\"f\", 1)", "must be matrix", "1"},
      {"WRITEBMP(\"f\", [1, \"a\"])", "must be scalar matrix", "[1, \"a\"]"},
      {"READBIN(\"f\", \"byte\", 0, 1, \"skip\")", "must be scalar", "\"skip\""},
      {"WRITEBIN(\"f\", \"byte\", \"e\", [1])", "must be scalar", "\"e\""},
      {"WRITEBIN(\"f\", \"byte\", 0, 1)", "must be scalar matrix", "1"},
      {"READRAW(\"f\", 1, 2, 3, 4, 5)", "must be string", "4"},
      {"READRAW(\"f\", 1, 2, 3, \"s\", \"k\")", "must be scalar", "\"k\""},
      // The writing form takes the matrix last although the method takes it first.
      {"WRITERAW(\"f\", 1, \"s\", \"m\")", "must be scalar matrix", "\"m\""},
      {"WRITERAW(\"f\", \"x\", \"s\", [1])", "must be scalar", "\"x\""},
      {"READRAW(\"f\", 1, 2, [1])", "must be string", "2"},
      {"WRITEWAV(\"f\", 8000, \"r\", [1])", "must be scalar", "\"r\""},
      {"SaveColormap(\"n\", [1, 2i])", "must be real matrix", "[1, 2i]"},
      {"csketchfile_cvs(3)", "must be string", "3"},
      // The host's own checks: the count of arguments and the name.
      {"READPRN(\"a\", \"b\")", "READPRN takes 1 argument, not 2: READPRN(file)",
       "READPRN(\"a\", \"b\")"},
      {"READRAW(1, 2, 3, 4, 5)",
       "READRAW takes 6 or 4 arguments, not 5: READRAW(file, X, Y, Z, S, K) or "
       "READRAW(file, X, S, matrix)",
       "READRAW(1, 2, 3, 4, 5)"},
      {"readbin(\"a\", \"b\")", "unknown function 'readbin'", "readbin"},
      // Arguments are evaluated before the call: their errors come first.
      {"READPRN(q)", "'q' is not defined", "q"},
  };
  for (const auto& [text, message, mark] : cases) {
    Diagnostic d = error(text);
    EXPECT_EQ(d.message, message) << text;
    EXPECT_EQ(marked(d), mark) << text;
  }
  Diagnostic d = error("READPRN(1 + 2)");
  EXPECT_TRUE(d.from_library);
  EXPECT_EQ(d.index, 1u);
  EXPECT_EQ(error("READBIN(\"a\")").index, Kex::kWholeCall);
  EXPECT_EQ(error("readbin(\"a\", \"b\")").hint, "did you mean READBIN?");
}

// An index of no particular argument, or of one not given, is placed too.
TEST(CallErrors, TheIndexNamesNoArgumentOrOneNotGiven) {
  Source src("t", "READBIN(\"a\", 2 * 3)");
  std::vector<Statement> sts = parse(src);
  auto place = [&](std::uint32_t index) {
    Diagnostic d;
    d.index = index;
    place_call_error(d, *sts[0].expr);
    return std::string(src.slice(d.mark)) + " | " + d.note;
  };
  EXPECT_EQ(place(0), "READBIN | not tied to a particular argument");
  EXPECT_EQ(place(5), ") | argument 5, which was not given");
}

}  // namespace
}  // namespace kexio::app
