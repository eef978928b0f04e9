// Writing doubles: exactly for JSON, readably for people.
#pragma once

#include <string>

namespace kexio::app {

// The shortest decimal form that reads back to the same double, as a JSON
// value: a number (negative zero as -0.0), or the string "NaN", "Infinity"
// or "-Infinity".
std::string json_number(double v);

// Up to 10 significant digits, integers below 1e15 in full, exponents
// without padding zeros ("1.5e-7"); NaN and infinities by name.
std::string text_number(double v);

// "1 + 2i", "1 - 2i", "3" for a zero imaginary part; with bare_imaginary a
// zero real part is left out ("2i").
std::string text_complex(double re, double im, bool bare_imaginary);

}  // namespace kexio::app
