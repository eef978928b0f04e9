// Building host values and the arithmetic of the worksheet language.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kexio/runtime/cvd.h"

namespace kexio::app {

Cvd::NumVal* as_number(const Cvd::Ref& v);
Cvd::StrVal* as_string(const Cvd::Ref& v);
Cvd::MatVal* as_matrix(const Cvd::Ref& v);

// True when the matrix has a nested-element table with entries.
bool has_nested(const Cvd::MatVal& m);

// A rows × cols matrix from its elements given row by row. A number becomes
// a numeric element; a string or a matrix becomes one nested element (a text
// or a matrix in the nested-element table).
Cvd::Ref build_matrix(std::size_t rows, std::size_t cols, const std::vector<Cvd::Ref>& elements);

// "2×3"
std::string size_text(const Cvd::MatVal& m);

// The element at row r and column c (0-based): a number, or the text or
// matrix nested there.
Cvd::Ref element_at(const Cvd::MatVal& m, std::size_t r, std::size_t c);
// The rows × cols block whose first element is at row r and column c
// (0-based, inside m), nested elements shared with m. A complex block whose
// imaginary parts are all 0 is real.
Cvd::Ref block(const Cvd::MatVal& m, std::size_t r, std::size_t c, std::size_t rows,
               std::size_t cols);
// Rows become columns, nested elements included.
Cvd::Ref transposed(const Cvd::MatVal& m);

// A failure of arithmetic: the message and which part of the expression it
// belongs to (0 the operator, 1 the left or only operand, 2 the right one).
struct ArithError {
  std::string message;
  int part;
};

// -v for a number or a numeric matrix; throws ArithError.
Cvd::Ref negate(const Cvd::Ref& v);
// a op b for op in + - * /: numbers, and numeric matrices element by element
// with a number broadcast over a matrix; throws ArithError.
Cvd::Ref arithmetic(char op, const Cvd::Ref& a, const Cvd::Ref& b);

}  // namespace kexio::app
