// The interactive session on a terminal: a prompt with line editing, Tab
// completing names, and a history kept in ~/.kexio_history, a second prompt
// while a bracket is open, the commands help, help NAME, quit and exit, and
// Ctrl-C clearing the line rather than ending the session.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runner.h"

namespace kexio::app {

// What a line typed at the first prompt asks of the session itself, if
// anything: Help (with the name, possibly empty) or Quit.
struct Command {
  enum class Kind { None, Help, Quit } kind = Kind::None;
  std::string name;
};
Command repl_command(const std::string& line);

// What Tab completes at the end of before (the line up to the cursor): inside
// a string the name of a file or folder (relative to dir unless it begins
// with '/'), else the name of a function (with its '(') or of one of
// variables, whatever their case. The candidates, sorted, replace what
// before holds from start on.
struct Completion {
  std::size_t start = 0;
  std::vector<std::string> candidates;
};
Completion complete(std::string_view before, const std::vector<std::string>& variables,
                    const std::string& dir);

// Reads statements from the terminal on standard input until Ctrl-D, quit
// or exit. Prompts and the line go to standard error; values to the
// runner's streams.
void run_repl(Runner& runner, const std::string& banner);

}  // namespace kexio::app
