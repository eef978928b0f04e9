// The syntax tree of worksheet statements.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "source.h"

namespace kexio::app {

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

struct Expr {
  enum class Kind {
    Number,  // re + im·i
    String,  // str
    Var,     // name
    Call,    // name(args…); name_span is the name, close the ')'
    Neg,     // -args[0]
    Binary,  // args[0] op args[1]
    Matrix,  // rows × cols elements in args, row by row
    Index,   // args[0][args[1]] or args[0][args[1], args[2]]; close the ']'
    All,     // ':' in an index: every row or column
    Range,   // args[0]..args[1] in an index
  };
  Kind kind = Kind::Number;
  Span span;
  double re = 0.0;
  double im = 0.0;
  std::u16string str;
  std::string name;
  Span name_span;
  Span close;
  char op = 0;  // '+', '-', '*', '/'
  Span op_span;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<ExprPtr> args;
};

struct SyntaxError {
  std::string message;
  Span at;
  std::string hint;  // how to put a usual slip right; may be empty
};

// One statement: an assignment `target := expr`, an expression whose value is
// shown, or the remains of a statement that did not parse.
struct Statement {
  Span span;
  std::optional<SyntaxError> error;
  std::string target;  // empty unless an assignment
  Span target_span;
  ExprPtr expr;
};

}  // namespace kexio::app
