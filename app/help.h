// The text of kexio --help.
#pragma once

#include <string>

#include "functions.h"

namespace kexio::app {

std::string help_text();

// The interactive session's help: its commands, the language in short and
// the function names.
std::string repl_help_text();
// help NAME: function_help (functions.h).

}  // namespace kexio::app
