// Helpers of the host's tests: the kexio program run in a scratch folder,
// the lines of a text, and a short /usr/bin/python3 program run over a file
// of input lines (tests skip when Python is missing).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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

struct Result {
  int status = -1;
  std::string out, err;
};

// The kexio program under test.
inline std::string kexio_program() {
  const char* env = std::getenv("KEXIO_PROGRAM");
  return env != nullptr ? env : KEXIO_BINARY_DIR "/bin/kexio";
}

// A word for the shell, quoted.
inline std::string shell_word(const std::string& s) {
  std::string q = "'";
  for (char c : s)
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class Cli : public ::testing::Test {
 protected:
  // Runs kexio with args in the temporary folder, feeding it stdin_text.
  Result kexio(const std::vector<std::string>& args, const std::string& stdin_text = "") {
    std::string cmd = "cd " + shell_word(m_dir) + " && exec " + shell_word(kexio_program());
    for (const std::string& a : args)
      cmd += " " + shell_word(a);
    write_bytes(m_dir + "/.stdin", stdin_text);
    int ws = std::system((cmd + " <.stdin >.stdout 2>.stderr").c_str());
    Result r{WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws), read_bytes(m_dir + "/.stdout"),
             read_bytes(m_dir + "/.stderr")};
    for (const char* f : {"/.stdin", "/.stdout", "/.stderr"})
      std::filesystem::remove(m_dir + f);
    return r;
  }

  void write(const std::string& name, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(m_dir + "/" + name).parent_path());
    write_bytes(m_dir + "/" + name, text);
  }

  ScratchDir m_scratch;
  std::string m_dir = m_scratch.path().string();
};

}  // namespace kexio_test
