// Runs a short /usr/bin/python3 program over a file of input lines and
// collects what it prints; tests skip when Python is missing.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace kexio_test {

inline bool have_python_json() {
  return access("/usr/bin/python3", X_OK) == 0 &&
         std::system("/usr/bin/python3 -c 'import json' >/dev/null 2>&1") == 0;
}

inline std::string temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/kexio-app-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) return {};
  return templ;
}

// Writes input to a file, runs `python3 -c program file`, returns stdout and
// sets status to the exit status.
inline std::string run_python(const std::string& program, const std::string& input, int& status) {
  std::string dir = temp_dir();
  std::string in = dir + "/input", prog = dir + "/prog.py", out = dir + "/output";
  std::ofstream(in, std::ios::binary) << input;
  std::ofstream(prog, std::ios::binary) << program;
  std::string cmd = "/usr/bin/python3 " + prog + " " + in + " > " + out + " 2>&1";
  int rc = std::system(cmd.c_str());
  status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  std::stringstream s;
  s << std::ifstream(out, std::ios::binary).rdbuf();
  std::remove(in.c_str());
  std::remove(prog.c_str());
  std::remove(out.c_str());
  rmdir(dir.c_str());
  return s.str();
}

}  // namespace kexio_test
