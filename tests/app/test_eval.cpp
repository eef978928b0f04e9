// Evaluation: arithmetic on numbers and matrices, matrix literals as host
// values, variables, the PRN settings, and calls of the library with their
// errors placed at the argument they name.
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
  const Statement& last_statement() const { return m_statements.back(); }

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
  Cvd::Ref inf_value = value("1 / 0");
  Cvd::NumVal* inf = as_number(inf_value);
  EXPECT_EQ(inf->Data.rp, std::numeric_limits<double>::infinity());
  EXPECT_EQ(inf->Data.ip, 0.0);
  EXPECT_TRUE(std::isnan(as_number(value("0 / 0"))->Data.rp));
  // A negated real number has a zero imaginary part without a sign.
  EXPECT_FALSE(std::signbit(as_number(value("-5"))->Data.ip));
  EXPECT_TRUE(std::isnan(as_number(value("NaN"))->Data.rp));
}

TEST_F(Eval, MatricesWorkElementByElementWithNumbersBroadcast) {
  EXPECT_EQ(reals(value("[1, 2; 3, 4] * 2")), (std::vector<double>{2, 6, 4, 8}));
  EXPECT_EQ(reals(value("10 - [1, 2; 3, 4]")), (std::vector<double>{9, 7, 8, 6}));
  EXPECT_EQ(reals(value("[1, 2; 3, 4] * [1, 2; 3, 4]")), (std::vector<double>{1, 9, 4, 16}));
  EXPECT_EQ(reals(value("[1, 2] / [2, 8]")), (std::vector<double>{0.5, 0.25}));
  EXPECT_EQ(reals(value("-[1, -2]")), (std::vector<double>{-1, 2}));
  Cvd::Ref c = value("[1, 2] * (1 + 1i)");
  EXPECT_EQ(reals(c), (std::vector<double>{1, 2}));
  EXPECT_EQ(imags(c), (std::vector<double>{1, 2}));
  // An imaginary part that cancels out leaves a real matrix.
  Cvd::Ref r = value("[1 + 1i, 2] - [1i, 0]");
  EXPECT_FALSE(as_matrix(r)->get_HasImag());
  EXPECT_EQ(reals(r), (std::vector<double>{1, 2}));
  Cvd::Ref empty = value("[] + 1");
  EXPECT_EQ(as_matrix(empty)->size(), 0u);

  Diagnostic d = error("[1, 2] + [1; 2]");
  EXPECT_EQ(d.message, "cannot add matrices of different sizes (1×2 and 2×1)");
  EXPECT_EQ(marked(d), "+");
  d = error("1 + \"a\"");
  EXPECT_EQ(d.message, "arithmetic needs numbers, not a string");
  EXPECT_EQ(marked(d), "\"a\"");
  d = error("-[1, \"a\"]");
  EXPECT_EQ(marked(d), "[1, \"a\"]");
  EXPECT_NE(d.message.find("text or nested"), std::string::npos);
  EXPECT_EQ(d.index, Kex::kWholeCall);
}

TEST_F(Eval, MatrixLiteralsBuildColumnMajorHostMatrices) {
  Cvd::Ref v = value("[1, 2, 3; 4, 5, 6]");
  Cvd::MatVal* m = as_matrix(v);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->get_Rows(), 2u);
  EXPECT_EQ(m->get_Cols(), 3u);
  EXPECT_EQ(reals(v), (std::vector<double>{1, 4, 2, 5, 3, 6}));
  EXPECT_FALSE(m->get_HasImag());
  EXPECT_TRUE(m->get_IsRealMatrix());

  Cvd::Ref c = value("[1, 2i; -3i, 4]");
  EXPECT_EQ(imags(c), (std::vector<double>{0, -3, 2, 0}));

  // A matrix or string inside is one nested element in the element table.
  Cvd::Ref n = value("x := [7, 8]; [1, x; \"ab\", 4i]");
  Cvd::MatVal* nm = as_matrix(n);
  ASSERT_NE(nm, nullptr);
  ASSERT_TRUE(nm->m_parr);
  EXPECT_EQ(nm->m_parr->size(), 2u);
  EXPECT_FALSE(nm->get_IsRealMatrix());
  Cvd::NumVal num;
  Cvd::Ref text = nm->get_2_na(num, 1, 0);
  ASSERT_NE(as_string(text), nullptr);
  EXPECT_EQ(as_string(text)->m_str, u"ab");
  Cvd::Ref inner = nm->get_2_na(num, 0, 1);
  EXPECT_EQ(reals(inner), (std::vector<double>{7, 8}));
  EXPECT_TRUE(Cvd::IsNestedSlot(nm->real()[1]));
  EXPECT_TRUE(Cvd::IsNestedSlot(nm->real()[2]));
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

  Diagnostic d = error("y + 1");
  EXPECT_EQ(d.message, "'y' is not defined");
  EXPECT_EQ(marked(d), "y");
  d = error("readprn");
  EXPECT_NE(d.note.find("READPRN"), std::string::npos);
  d = error("READPRN");
  EXPECT_EQ(d.message, "READPRN is a function: call it as READPRN(file)");
  d = error("NaN := 1");
  EXPECT_EQ(marked(d), "NaN");
  EXPECT_TRUE(std::isnan(as_number(value("NaN"))->Data.rp));
  // A failed statement leaves earlier assignments alone.
  error("x := y");
  expect_number(value("x"), 5, 0);
}

TEST_F(Eval, SettingsTakeIntegersAndKeepTheirValueOtherwise) {
  expect_number(value("PRNPRECISION"), 4, 0);
  expect_number(value("PRNCOLWIDTH"), 8, 0);
  run("PRNPRECISION := 6");
  EXPECT_EQ(m_session.prn_precision(), 6);
  run("PRNCOLWIDTH := 3 * 4");
  EXPECT_EQ(m_session.prn_colwidth(), 12);
  // Any 32-bit integer is taken; the library checks its own range.
  run("PRNPRECISION := -2147483648");
  EXPECT_EQ(m_session.prn_precision(), -2147483648);
  run("PRNPRECISION := 2147483647");
  EXPECT_EQ(m_session.prn_precision(), 2147483647);
  run("PRNPRECISION := 6");

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

TEST_F(Eval, LibraryErrorsArePlacedAtTheArgumentTheyName) {
  Diagnostic d = error("READPRN(1 + 2)");
  EXPECT_EQ(d.message, "must be string");
  EXPECT_TRUE(d.from_library);
  EXPECT_EQ(d.index, 1u);
  EXPECT_EQ(marked(d), "1 + 2");

  // The whole call: the library's count check of an argument list.
  d = error("READBIN(\"a\")");
  EXPECT_EQ(d.message, "too_few_arguments\t2\t1");
  EXPECT_EQ(d.index, Kex::kWholeCall);
  EXPECT_EQ(marked(d), "READBIN(\"a\")");
  d = error("READBIN(\"a\", \"b\", 1, 2, 3, 4, 5)");
  EXPECT_EQ(d.message, "too_many_arguments\t6\t7");
  d = error("READFILE(\"a\", 2)");
  EXPECT_EQ(d.message, "must be string");
  EXPECT_EQ(marked(d), "2");

  // An error of a call inside another expression marks that call's argument.
  d = error("[1, READ_BLUE(42) + 1]");
  EXPECT_EQ(marked(d), "42");
  EXPECT_EQ(d.index, 1u);
}

TEST(CallErrors, TheIndexNamesAnArgumentTheWholeCallOrNone) {
  Source src("t", "READBIN(\"a\", 2 * 3)");
  std::vector<Statement> sts = parse(src);
  const Expr& call = *sts[0].expr;
  auto place = [&](std::uint32_t index) {
    Diagnostic d;
    d.index = index;
    place_call_error(d, call);
    return std::string(src.slice(d.mark)) + " | " + d.note;
  };
  EXPECT_EQ(place(2), "2 * 3 | argument 2");
  EXPECT_EQ(place(1), "\"a\" | argument 1");
  EXPECT_EQ(place(Kex::kWholeCall), "READBIN(\"a\", 2 * 3) | the call as a whole");
  EXPECT_EQ(place(0), "READBIN | not tied to a particular argument");
  EXPECT_EQ(place(5), ") | argument 5, which was not given");
}

TEST_F(Eval, EachFunctionGetsItsArgumentsInTheOrderTheUserWritesThem) {
  struct Case {
    const char* text;
    const char* message;
    const char* marked;
  };
  const Case cases[] = {
      {"WRITEPRN(\"f\", \"v\")", "must be a scalar or a matrix", "\"v\""},
      {"APPENDPRN(\"f\", 1)", "must be matrix", "1"},
      {"WRITEBMP(\"f\", [1, \"a\"])", "must be scalar matrix", "[1, \"a\"]"},
      {"WRITE_HSV(1, [1])", "must be string", "1"},
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
      {"GETWAVINFO([1])", "must be string", "[1]"},
      {"SaveColormap(\"n\", [1, 2i])", "must be real matrix", "[1, 2i]"},
      {"LoadColormap(3)", "must be string", "3"},
      {"csketchfile_cvs(3)", "must be string", "3"},
  };
  for (const Case& c : cases) {
    Diagnostic d = error(c.text);
    EXPECT_EQ(d.message, c.message) << c.text;
    EXPECT_EQ(marked(d), c.marked) << c.text;
  }
}

TEST_F(Eval, CallsWithTheWrongNumberOfArgumentsOrUnknownNames) {
  Diagnostic d = error("READPRN(\"a\", \"b\")");
  EXPECT_EQ(d.message, "READPRN takes 1 argument, not 2: READPRN(file)");
  EXPECT_EQ(marked(d), "READPRN(\"a\", \"b\")");
  d = error("READRAW(1, 2, 3, 4, 5)");
  EXPECT_EQ(d.message,
            "READRAW takes 6 or 4 arguments, not 5: READRAW(file, X, Y, Z, S, K) or "
            "READRAW(file, X, S, matrix)");
  d = error("readbin(\"a\", \"b\")");
  EXPECT_EQ(d.message, "unknown function 'readbin'");
  EXPECT_EQ(d.note, "did you mean READBIN?");
  EXPECT_EQ(marked(d), "readbin");
  // Arguments are evaluated before the call: their errors come first.
  d = error("READPRN(q)");
  EXPECT_EQ(d.message, "'q' is not defined");
}

}  // namespace
}  // namespace kexio::app
