// Completing what a person types: names of functions and variables, and
// file names inside a string, for the terminal's Tab and the notebook.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kexio::app {

// What Tab completes at the end of before (the line up to the cursor): inside
// a string the name of a file or folder (relative to dir unless it begins
// with '/'), else the name of a function (with its '(' when calls) or of one
// of variables, whatever their case. The candidates, sorted, replace what
// before holds from start on.
struct Completion {
  std::size_t start = 0;
  std::vector<std::string> candidates;
};
Completion complete(std::string_view before, const std::vector<std::string>& variables,
                    const std::string& dir, bool calls = true);

}  // namespace kexio::app
