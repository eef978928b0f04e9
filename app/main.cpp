// kexio, the command-line worksheet host: reads the command line, then runs
// script files, -e texts and standard input through one session.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "help.h"
#include "parser.h"
#include "repl.h"
#include "runner.h"
#include "session.h"
#include "source.h"
#include "view.h"

#ifndef KEXIO_VERSION
#define KEXIO_VERSION "unknown"
#endif

namespace fs = std::filesystem;
using namespace kexio::app;

namespace {

struct Input {
  enum class Kind { File, Text, Stdin } kind;
  std::string arg;   // path or text
  std::string text;  // a file's contents, read before anything runs
};

struct Options {
  std::vector<Input> inputs;
  std::optional<std::string> cwd;
  std::optional<std::int32_t> precision, colwidth;
  std::optional<bool> echo;
  bool json = false;
};

struct UsageError {
  std::string message;
};

std::int32_t setting_value(const std::string& option, const std::string& text) {
  double v = 0.0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || std::floor(v) != v ||
      !(v >= -2147483648.0 && v <= 2147483647.0)) {
    throw UsageError{option + " needs an integer, not '" + text + "'"};
  }
  return static_cast<std::int32_t>(v);
}

// Returns nothing when the program should stop with status 0 (--help,
// --version).
std::optional<Options> parse_command_line(int argc, char** argv) {
  Options o;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const std::string& name) -> std::string {
      std::size_t eq = a.find('=');
      if (a.rfind("--", 0) == 0 && eq != std::string::npos) return a.substr(eq + 1);
      if (i + 1 >= argc) throw UsageError{name + " needs a value"};
      return argv[++i];
    };
    auto is = [&](const char* name) {
      return a == name || (a.rfind(std::string(name) + "=", 0) == 0 && a.rfind("--", 0) == 0);
    };
    if (options_done || a == "-" || a.empty() || a[0] != '-') {
      if (a == "-") {
        o.inputs.push_back({Input::Kind::Stdin, a, {}});
      } else {
        o.inputs.push_back({Input::Kind::File, a, {}});
      }
    } else if (a == "--") {
      options_done = true;
    } else if (a == "--help" || a == "-h") {
      std::cout << help_text();
      return std::nullopt;
    } else if (a == "--version") {
      std::cout << "kexio " KEXIO_VERSION "\n";
      return std::nullopt;
    } else if (a == "-e") {
      if (i + 1 >= argc) throw UsageError{"-e needs a text to evaluate"};
      o.inputs.push_back({Input::Kind::Text, argv[++i], {}});
    } else if (is("--cwd")) {
      o.cwd = value("--cwd");
    } else if (is("--prn-precision")) {
      o.precision = setting_value("--prn-precision", value("--prn-precision"));
    } else if (is("--prn-colwidth")) {
      o.colwidth = setting_value("--prn-colwidth", value("--prn-colwidth"));
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--echo") {
      o.echo = true;
    } else if (a == "--no-echo") {
      o.echo = false;
    } else {
      throw UsageError{"unknown option '" + a + "'"};
    }
  }
  if (o.inputs.empty()) o.inputs.push_back({Input::Kind::Stdin, "-", {}});
  int stdin_count = 0;
  for (const Input& in : o.inputs)
    stdin_count += in.kind == Input::Kind::Stdin;
  if (stdin_count > 1) throw UsageError{"standard input ('-') can be read only once"};
  return o;
}

std::string absolute(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  return ec ? path : p.lexically_normal().string();
}

std::string current_dir() {
  std::error_code ec;
  fs::path p = fs::current_path(ec);
  return ec ? std::string() : p.string();
}

bool colors_for(int fd) {
  const char* term = std::getenv("TERM");
  return isatty(fd) && std::getenv("NO_COLOR") == nullptr && term != nullptr &&
         std::strcmp(term, "dumb") != 0;
}

std::size_t terminal_width(int fd, std::size_t fallback) {
  winsize ws{};
  if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
  return fallback;
}

// The lines a picture may take on the terminal: its height less the line of
// the statement and the prompt after the picture.
std::size_t picture_lines(int fd, std::size_t fallback) {
  winsize ws{};
  if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_row >= 4) return ws.ws_row - 2u;
  return fallback;
}

// Reads statements from standard input piece by piece, so that a program
// feeding kexio through a pipe sees each result as soon as its statement is
// complete; a piece ends at a line break outside brackets. A terminal gets
// the interactive session instead.
void run_stdin(Runner& runner, bool json) {
  if (isatty(STDIN_FILENO)) {
    run_repl(runner, json ? std::string()
                          : "kexio " KEXIO_VERSION
                            ": type statements such as  m := [1, 2; 3, 4]  or  "
                            "READPRN(\"data.prn\");\nhelp lists the functions, quit or "
                            "Ctrl-D ends.\n");
    return;
  }
  StatementLines statements(runner);
  for (std::string line; std::getline(std::cin, line);)
    statements.add(line);
  statements.finish();
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  Options opt;
  try {
    auto parsed = parse_command_line(argc, argv);
    if (!parsed) return 0;
    opt = std::move(*parsed);
    if (opt.cwd) {
      std::error_code ec;
      if (!fs::is_directory(*opt.cwd, ec))
        throw UsageError{"--cwd: '" + *opt.cwd + "' is not a directory"};
      opt.cwd = absolute(*opt.cwd);
    }
    for (Input& in : opt.inputs) {
      if (in.kind != Input::Kind::File) continue;
      std::ifstream f(in.arg, std::ios::binary);
      std::error_code ec;
      if (!f || fs::is_directory(in.arg, ec)) {
        throw UsageError{"cannot read '" + in.arg + "': " +
                         (fs::is_directory(in.arg, ec) ? std::string("it is a directory")
                                                       : std::strerror(errno))};
      }
      std::ostringstream s;
      s << f.rdbuf();
      in.text = s.str();
    }
  } catch (const UsageError& e) {
    std::cerr << "kexio: " << e.message << "\n(kexio --help shows the usage)\n";
    return 2;
  }

  Session session;
  if (opt.precision) session.set_prn_precision(*opt.precision);
  if (opt.colwidth) session.set_prn_colwidth(*opt.colwidth);

  RunOptions run;
  run.json = opt.json;
  run.style.width = terminal_width(STDOUT_FILENO, 100);
  run.error_style.color = colors_for(STDERR_FILENO);
  run.error_style.width = terminal_width(STDERR_FILENO, 100);
  Runner runner(session, std::cout, std::cerr, run);
  if (!opt.json) {
    ViewTarget view;
    view.out = &std::cout;
    view.color = colors_for(STDOUT_FILENO);
    view.width = terminal_width(STDOUT_FILENO, 80);
    view.lines = picture_lines(STDOUT_FILENO, 22);
    session.set_show([view](const Display& d) { show(view, d); });
  }

  for (const Input& in : opt.inputs) {
    switch (in.kind) {
      case Input::Kind::File:
        session.set_cwd(opt.cwd ? *opt.cwd : fs::path(absolute(in.arg)).parent_path().string());
        runner.set_echo(opt.echo.value_or(true));
        runner.run(Source(in.arg, in.text));
        break;
      case Input::Kind::Text:
        session.set_cwd(opt.cwd ? *opt.cwd : current_dir());
        runner.set_echo(opt.echo.value_or(false));
        runner.run(Source("-e", in.arg));
        break;
      case Input::Kind::Stdin:
        session.set_cwd(opt.cwd ? *opt.cwd : current_dir());
        runner.set_echo(opt.echo.value_or(false));
        run_stdin(runner, opt.json);
        break;
    }
  }
  return runner.any_failed() ? 1 : 0;
}
