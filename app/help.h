// The text of kexio --help.
#pragma once

#include <string>

namespace kexio::app {

std::string help_text();

}  // namespace kexio::app
