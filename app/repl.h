// The interactive session on a terminal: a prompt with line editing, Tab
// completing names, and a history kept in ~/.kexio_history, a second prompt
// while a bracket is open, the commands help, help NAME, quit and exit, and
// Ctrl-C clearing the line rather than ending the session.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "complete.h"
#include "runner.h"

namespace kexio::app {

// What a line typed at the first prompt asks of the session itself, if
// anything: Help (with the name, possibly empty) or Quit.
struct Command {
  enum class Kind { None, Help, Quit } kind = Kind::None;
  std::string name;
};
Command repl_command(const std::string& line);

// Reads statements from the terminal on standard input until Ctrl-D, quit
// or exit. Prompts and the line go to standard error; values to the
// runner's streams.
void run_repl(Runner& runner, const std::string& banner);

}  // namespace kexio::app
