#include "session.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "kexio/host/errors.h"
#include "text.h"
#include "values.h"

namespace kexio::app {

namespace {

struct Failure {
  Diagnostic d;
};

[[noreturn]] void fail(std::string message, Span mark, std::string note = {},
                       std::string hint = {}) {
  Diagnostic d;
  d.message = std::move(message);
  d.mark = mark;
  d.note = std::move(note);
  d.hint = std::move(hint);
  throw Failure{std::move(d)};
}

// The name of parameter i (0-based) of a function as the user writes it
// ("file", "type", ...), or empty.
std::string parameter_name(std::string_view function, std::size_t i) {
  for (const Function& f : functions()) {
    if (function != f.name) continue;
    std::string_view p = f.params;
    for (std::size_t k = 0; !p.empty(); ++k) {
      std::size_t comma = p.find(',');
      std::string_view word = p.substr(0, comma);
      while (!word.empty() && (word.front() == ' ' || word.front() == '['))
        word.remove_prefix(1);
      while (!word.empty() && (word.back() == ' ' || word.back() == '[' || word.back() == ']'))
        word.remove_suffix(1);
      if (k == i) return std::string(word);
      if (comma == std::string_view::npos) break;
      p.remove_prefix(comma + 1);
    }
    return {};
  }
  return {};
}

// A real integer that fits a 32-bit setting, or nothing.
bool as_int32(const Cvd::Ref& v, std::int32_t& out) {
  Cvd::NumVal* n = as_number(v);
  if (n == nullptr || n->Data.ip != 0.0) return false;
  double x = n->Data.rp;
  if (!(x >= -2147483648.0 && x <= 2147483647.0) || std::floor(x) != x) return false;
  out = static_cast<std::int32_t>(x);
  return true;
}

}  // namespace

void place_call_error(Diagnostic& d, const Expr& call) {
  if (d.index == Kex::kWholeCall) {
    d.mark = call.span;
    d.note = "the call as a whole";
  } else if (d.index == 0) {
    // Messages relayed from outside the library come without a position.
    d.mark = call.name_span;
    d.note = "not tied to a particular argument";
  } else if (d.index <= call.args.size()) {
    d.mark = call.args[d.index - 1]->span;
    d.note = "argument " + std::to_string(d.index);
  } else {
    d.mark = call.close;
    d.note = "argument " + std::to_string(d.index) + ", which was not given";
  }
}

bool shows_itself(const Statement& st) {
  if (!st.target.empty() || !st.expr || st.expr->kind != Expr::Kind::Call) return false;
  const std::string& f = st.expr->name;
  return f == "VIEW" || f == "PLOT" || f == "PLAY";
}

void Session::set_cwd(std::string_view native_path) {
  m_env.cwd = utf8_to_utf16(native_path);
}

std::vector<std::string> Session::names() const {
  std::vector<std::string> out = {"NaN", "PRNCOLWIDTH", "PRNPRECISION"};
  for (const auto& [name, value] : m_vars)
    out.push_back(name);
  return out;
}

std::string Session::cwd() const {
  return utf16_to_utf8(m_env.cwd);
}

Outcome Session::run(const Statement& st, int line, std::string_view source) {
  m_source = source;
  Outcome out = evaluate(st);
  if (out.kind == Outcome::Kind::Error && !st.target.empty() && !defined(st.target))
    m_failed[st.target] = Place{std::string(source), line};
  return out;
}

Outcome Session::evaluate(const Statement& st) {
  Outcome out;
  if (st.error) {
    out.kind = Outcome::Kind::Error;
    out.error.message = st.error->message;
    out.error.syntax = true;
    out.error.mark = st.error->at;
    out.error.hint = st.error->hint;
    return out;
  }
  try {
    Cvd::Ref v = eval(*st.expr);
    if (st.target.empty()) {
      out.kind = Outcome::Kind::Value;
      out.value = std::move(v);
    } else {
      assign(st, std::move(v));
    }
  } catch (Failure& f) {
    out.kind = Outcome::Kind::Error;
    out.error = std::move(f.d);
  } catch (const std::bad_alloc&) {
    out.kind = Outcome::Kind::Error;
    out.error.message = "out of memory";
    out.error.mark = st.span;
  }
  return out;
}

void Session::assign(const Statement& st, Cvd::Ref value) {
  const std::string& name = st.target;
  if (name == "NaN") fail("NaN is a constant and cannot be assigned", st.target_span);
  if (name == "PRNPRECISION" || name == "PRNCOLWIDTH") {
    std::int32_t& setting = name == "PRNPRECISION" ? m_env.prn_precision : m_env.prn_colwidth;
    std::int32_t v;
    if (!as_int32(value, v)) {
      fail("must be integer", st.span,
           name + " keeps its value " + std::to_string(setting) + " (it takes a 32-bit integer)");
    }
    setting = v;
    return;
  }
  m_vars[name] = std::move(value);
  m_failed.erase(name);
}

Cvd::Ref Session::eval(const Expr& e) {
  switch (e.kind) {
    case Expr::Kind::Number:
      return std::make_shared<Cvd::NumVal>(e.re, e.im);
    case Expr::Kind::String:
      return std::make_shared<Cvd::StrVal>(e.str);
    case Expr::Kind::Var:
      return variable(e);
    case Expr::Kind::Call:
      return call(e);
    case Expr::Kind::Neg: {
      Cvd::Ref v = eval(*e.args[0]);
      try {
        return negate(v);
      } catch (const ArithError& a) {
        fail(a.message, e.args[0]->span);
      }
    }
    case Expr::Kind::Binary: {
      Cvd::Ref a = eval(*e.args[0]);
      Cvd::Ref b = eval(*e.args[1]);
      try {
        return arithmetic(e.op, a, b);
      } catch (const ArithError& x) {
        fail(x.message, x.part == 0 ? e.op_span : e.args[x.part - 1]->span);
      }
    }
    case Expr::Kind::Index:
      return index(e);
    case Expr::Kind::All:
    case Expr::Kind::Range:
      fail("':' and '..' belong inside an index, as in m[1..3, :]", e.span);
    case Expr::Kind::Matrix: {
      std::vector<Cvd::Ref> elements;
      elements.reserve(e.args.size());
      for (const ExprPtr& x : e.args)
        elements.push_back(eval(*x));
      return build_matrix(e.rows, e.cols, elements);
    }
  }
  fail("internal error: unknown expression", e.span);
}

// m[i, j], m[i, :], m[:, j], m[a..b, c..d], and v[i] of a vector: 1-based,
// ranges inclusive and cut at the end of the matrix, as READFILE takes
// ranges. Two single numbers give the element itself, anything else a matrix.
Cvd::Ref Session::index(const Expr& e) {
  Cvd::Ref base = eval(*e.args[0]);
  Cvd::MatVal* m = as_matrix(base);
  if (m == nullptr) fail("must be matrix", e.args[0]->span, "the indexed value");
  std::size_t rows = m->get_Rows(), cols = m->get_Cols();
  if (e.args.size() == 2) {
    if (rows > 1 && cols > 1) {
      fail("a matrix takes a row and a column, as in m[2, 3]", e.args[1]->span, {},
           "one index alone is for a vector (one row or one column); this is " + size_text(*m));
    }
    bool row = rows == 1 && cols > 1;
    Slice s = slice(*e.args[1], row ? cols : rows, "element", "the element");
    if (s.single) return element_at(*m, row ? 0 : s.first, row ? s.first : 0);
    return row ? block(*m, 0, s.first, 1, s.count) : block(*m, s.first, 0, s.count, 1);
  }
  Slice r = slice(*e.args[1], rows, "row", "the row");
  Slice c = slice(*e.args[2], cols, "column", "the column");
  if (r.single && c.single) return element_at(*m, r.first, c.first);
  return block(*m, r.first, c.first, r.count, c.count);
}

Session::Slice Session::slice(const Expr& part, std::size_t n, const std::string& what,
                              const std::string& note) {
  if (part.kind == Expr::Kind::All) return {0, n, false};
  auto beyond = [&](const Expr& at) {
    fail(n == 0 ? "the matrix has no " + what + "s"
                : "the matrix has only " + std::to_string(n) + " " + what + (n == 1 ? "" : "s"),
         at.span, note);
  };
  if (part.kind != Expr::Kind::Range) {
    std::size_t i = bound(part, note);
    if (i > n) beyond(part);
    return {i - 1, 1, true};
  }
  std::size_t first = bound(*part.args[0], note), last = bound(*part.args[1], note);
  if (last < first) fail("upper bound must be bigger", part.span, note);
  if (first > n) beyond(*part.args[0]);
  return {first - 1, std::min(last, n) - first + 1, false};
}

// A 1-based position: a real integer of at least 1.
std::size_t Session::bound(const Expr& e, const std::string& note) {
  Cvd::Ref v = eval(e);
  Cvd::NumVal* num = as_number(v);
  if (num == nullptr) fail("must be scalar", e.span, note);
  double x = num->Data.rp;
  if (num->Data.ip != 0.0 || std::floor(x) != x) fail("must be integer", e.span, note);
  if (x < 1) fail("must be positive integer", e.span, note);
  // Beyond any matrix's size; the caller says how many there are.
  return x > 1e18 ? static_cast<std::size_t>(1e18) : static_cast<std::size_t>(x);
}

Cvd::Ref Session::variable(const Expr& e) {
  if (e.name == "NaN")
    return std::make_shared<Cvd::NumVal>(std::numeric_limits<double>::quiet_NaN());
  if (e.name == "PRNPRECISION") return std::make_shared<Cvd::NumVal>(m_env.prn_precision);
  if (e.name == "PRNCOLWIDTH") return std::make_shared<Cvd::NumVal>(m_env.prn_colwidth);
  auto it = m_vars.find(e.name);
  if (it != m_vars.end()) return it->second;
  if (is_function(e.name)) {
    fail(e.name + " is a function: call it as " + usage(e.name), e.span);
  }
  if (auto f = m_failed.find(e.name); f != m_failed.end()) {
    Diagnostic d;
    d.message = "'" + e.name + "' is not defined";
    d.mark = e.span;
    d.detail = e.name + " has no value because its assignment on line " +
               std::to_string(f->second.line) +
               (f->second.source == m_source ? "" : " of " + f->second.source) + " failed";
    throw Failure{std::move(d)};
  }
  std::string similar = similar_function(e.name);
  if (!similar.empty()) {
    fail("'" + e.name + "' is not defined", e.span, {},
         "did you mean the function " + similar + "?");
  }
  fail("'" + e.name + "' is not defined", e.span, {}, "assign it first with " + e.name + " := ...");
}

bool Session::defined(const std::string& name) const {
  return name == "NaN" || name == "PRNPRECISION" || name == "PRNCOLWIDTH" ||
         m_vars.find(name) != m_vars.end();
}

Cvd::Ref Session::call(const Expr& e) {
  if (!is_function(e.name)) {
    std::string similar = similar_function(e.name);
    fail("unknown function '" + e.name + "'", e.name_span, {},
         similar.empty() ? "kexio --help lists the functions" : "did you mean " + similar + "?");
  }
  // A file name written without quotes reads as a variable that nobody
  // assigned.
  for (std::size_t i = 0; i < e.args.size(); ++i) {
    const Expr& a = *e.args[i];
    if (a.kind != Expr::Kind::Var || defined(a.name) || is_function(a.name) ||
        m_failed.count(a.name) != 0)
      continue;
    std::string param = parameter_name(e.name, i);
    if (param != "file" && param != "name") continue;
    fail("'" + a.name + "' is not defined", a.span, {},
         "a file name is a string in double quotes: " + e.name + "(\"" + a.name + "\"" +
             (e.args.size() > 1 ? ", ...)" : ")"));
  }
  Args args;
  args.reserve(e.args.size());
  for (const ExprPtr& a : e.args)
    args.push_back(eval(*a));
  const Function* f = find_function(e.name, args.size());
  if (f == nullptr) {
    std::string counts;
    for (const Function& g : functions()) {
      if (e.name != g.name) continue;
      counts += (counts.empty() ? "" : " or ") + std::to_string(g.count);
    }
    fail(e.name + " takes " + counts + (counts == "1" ? " argument" : " arguments") + ", not " +
             std::to_string(args.size()) + ": " + usage(e.name),
         e.span, "the call as a whole");
  }
  Diagnostic d;
  try {
    Cvd::Ref v = f->invoke(m_env, args);
    if (v) return v;
    d.message = "no result";
    d.index = Kex::kWholeCall;
  } catch (const Kex::Exception& x) {
    d.message = latin1_to_utf8(x.message());
    d.from_library = true;
    d.index = x.index();
    d.detail = x.detail();
    // A function that counts its arguments itself; a type word it does not
    // know.
    if (d.message.rfind("too_few_arguments\t", 0) == 0 ||
        d.message.rfind("too_many_arguments\t", 0) == 0) {
      d.hint = "call it as " + usage(e.name);
    } else if (d.message == "unrecognized value" && d.index >= 1 && d.index != Kex::kWholeCall &&
               parameter_name(e.name, d.index - 1) == "type") {
      d.hint = "the type is one of " KEXIO_BINARY_TYPES;
    }
  } catch (const std::exception& x) {
    d.message = latin1_to_utf8(x.what());
  }
  place_call_error(d, e);
  throw Failure{std::move(d)};
}

}  // namespace kexio::app
