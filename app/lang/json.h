// The --json output: one object per shown value or error.
//
//   {"type":"number","re":R,"im":I}
//   {"type":"string","value":S}
//   {"type":"matrix","rows":R,"cols":C,"data":[[row 1…],…]}
//     elements are numbers, or [re, im] pairs when the matrix has an
//     imaginary part; text and nested matrices are objects as above
//   {"type":"error","message":M,"detail":D,"hint":H,"arg":N,"line":L}
//     N null for the call as a whole; D (why and where) and H (how to put a
//     usual slip right) only when there are; L the statement's line
//
// Doubles are written in their shortest round-trip form, NaN and infinities
// as the strings "NaN", "Infinity" and "-Infinity". The output is UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "kexio/runtime/cvd.h"
#include "session.h"

namespace kexio::app {

std::string json_value(const Cvd::Ref& v);
std::string json_error(const Diagnostic& d);

// JSON string literals from UTF-16 (lone surrogates escaped as \uXXXX) and
// from UTF-8 text.
std::string json_string(std::u16string_view s);
std::string json_string(std::string_view utf8);

}  // namespace kexio::app
