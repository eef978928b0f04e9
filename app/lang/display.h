// The text output: values laid out for people, errors with the statement
// and a marker under the part they belong to.
#pragma once

#include <cstddef>
#include <string>

#include "ast.h"
#include "kexio/runtime/cvd.h"
#include "session.h"
#include "source.h"

namespace kexio::app {

struct TextStyle {
  bool color = false;         // ANSI colours for a terminal
  std::size_t width = 100;    // line width that large matrices are abridged to
  std::size_t max_rows = 16;  // more rows than this are abridged
};

// The value as lines of text, each ending in '\n'.
std::string text_value(const Cvd::Ref& v, const TextStyle& style);

// The element at row r and column c (0-based) as a matrix shows it: a
// number, "1 - 2i", a text as a string literal (its first 20 characters) or
// a nested matrix's size in braces.
std::string text_element(const Cvd::MatVal& m, std::size_t r, std::size_t c);

// A string as a worksheet string literal: quoted, with escapes for quotes,
// backslashes and control characters.
std::string string_literal(std::u16string_view s);

// The message as people read it: message keys of the library (argument
// counts, PRN and WAV keys) become English; other text is kept.
std::string plain_message(const std::string& message);

// "name:line:column: error: message", the statement's lines and the marker,
// then "= note: " and the detail and "= help: " and the hint, when there are.
std::string text_error(const Source& source, const Statement& st, const Diagnostic& d,
                       const TextStyle& style);

}  // namespace kexio::app
