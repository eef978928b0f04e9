// Splits worksheet text into tokens. Line breaks are tokens of their own:
// the parser decides where they end a statement or a matrix row and where
// they are only white space. A malformed piece of text becomes an Error token
// carrying the message, so the parser reports it in order with its own.
#pragma once

#include <string>
#include <vector>

#include "source.h"

namespace kexio::app {

enum class Tok {
  Number,     // value in num
  Imaginary,  // 2i, 1.5e3j: imaginary part in num
  String,     // decoded text in str
  Name,       // identifier in text
  Assign,     // :=
  Plus,
  Minus,
  Star,
  Slash,
  LParen,
  RParen,
  LBracket,
  RBracket,
  Comma,
  Semicolon,
  Colon,   // a whole row or column in an index: m[:, 2]
  DotDot,  // a range in an index: m[1..3, 2]
  Newline,
  End,
  Error,  // message in text
};

struct Token {
  Tok kind = Tok::End;
  Span span;
  double num = 0.0;
  std::u16string str;
  std::string text;
  std::string hint;  // of an Error token: how to put the slip right
};

// Always ends with exactly one End token.
std::vector<Token> tokenize(const Source& source);

// Describes a token for messages: "')'", "the end of the line", "number 3".
std::string describe(const Token& t, const Source& source);

}  // namespace kexio::app
