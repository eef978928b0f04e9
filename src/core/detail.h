// Helpers for the details that failures carry beside their messages.
#pragma once

#include <cstdint>
#include <string>

// Hidden in every library that uses it, whatever its own visibility.
#pragma GCC visibility push(hidden)

namespace kexio {

// A count with thousands separated by commas, as people read it: 1,204.
inline std::string grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

}  // namespace kexio
#pragma GCC visibility pop
