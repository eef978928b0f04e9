// Helpers of the host's tests: the lines of a text, and a short
// /usr/bin/python3 program run over a file of input lines (tests skip when
// Python is missing).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch.h"

namespace kexio_test {

inline std::vector<std::string> lines_of(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);)
    out.push_back(l);
  return out;
}

inline bool have_python_json() {
  return access("/usr/bin/python3", X_OK) == 0 &&
         std::system("/usr/bin/python3 -c 'import json' >/dev/null 2>&1") == 0;
}

// Writes input to a file, runs `python3 program file`, returns what it
// printed (standard output and error) and sets status to its exit status.
inline std::string run_python(const std::string& program, const std::string& input, int& status) {
  ScratchDir dir;
  const std::string base = dir.path().string();
  write_bytes(dir.path() / "input", input);
  write_bytes(dir.path() / "prog.py", program);
  std::string cmd = "cd '" + base + "' && /usr/bin/python3 prog.py input > output 2>&1";
  int rc = std::system(cmd.c_str());
  status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return read_bytes(dir.path() / "output");
}

}  // namespace kexio_test
