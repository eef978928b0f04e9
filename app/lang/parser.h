// Parses worksheet text into statements.
//
// Statements are separated by line breaks and ';' outside brackets. Inside
// parentheses a line break is white space; inside a matrix literal it ends a
// row like ';' (except right after '[', ',' or ';', or before ']'). A
// statement with a syntax error is kept, carrying the error, and parsing goes
// on at the next line.
#pragma once

#include <vector>

#include "ast.h"
#include "source.h"

namespace kexio::app {

std::vector<Statement> parse(const Source& source);

// True when the text leaves a bracket or parenthesis open, so an
// interactive reader should ask for more lines before parsing it.
bool needs_more_input(const Source& source);

}  // namespace kexio::app
