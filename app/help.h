// The text of kexio --help.
#pragma once

#include <string>
#include <string_view>

namespace kexio::app {

std::string help_text();

// The interactive session's help: its commands, the language in short and
// the function names.
std::string repl_help_text();
// Every form of the function name with its summary, or a line saying there
// is no such function (with the nearest name when there is one).
std::string function_help(std::string_view name);

}  // namespace kexio::app
