// Text encodings met by the host: UTF-8 (source text, terminal output, JSON),
// UTF-16 (worksheet strings) and Latin-1 (message bytes of the library).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 is written by the base library's kexio::append_utf8.
#include "core/utf8.h"

namespace kexio::app {

// Appends cp as one UTF-16 code unit, or as a surrogate pair above U+FFFF.
void append_utf16(std::u16string& out, char32_t cp);

// Decodes the UTF-8 sequence at s[i] and advances i past it. A byte that does
// not start a well-formed sequence decodes as its Latin-1 character, so any
// byte string decodes to something sensible.
char32_t next_utf8(std::string_view s, std::size_t& i);

std::u16string utf8_to_utf16(std::string_view s);

// The code unit at s[i], or the code point of the surrogate pair starting
// there; advances i past what it read. A lone surrogate is returned as is.
char32_t next_utf16(std::u16string_view s, std::size_t& i);

// Surrogate pairs are combined; a lone surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view s);

// Each byte is the Latin-1 character of the same value.
std::string latin1_to_utf8(std::string_view bytes);

// Number of characters (code points) in a UTF-8 string, for column counting.
std::size_t char_count(std::string_view s);

}  // namespace kexio::app
