// kexio on a terminal: the interactive session driven through a
// pseudo-terminal (editing keys, the second prompt, Ctrl-C, history, help,
// quit), and VIEW's picture read back cell by cell.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "support.h"

namespace {

using kexio_test::read_bytes;

// kexio run on a new pseudo-terminal of the given width, in folder dir,
// which is also its home.
class Terminal {
 public:
  Terminal(const std::string& dir, const std::vector<std::string>& args, unsigned short cols = 80) {
    winsize ws{24, cols, 0, 0};
    std::string program = kexio_test::kexio_program();
    std::vector<char*> argv{program.data()};
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    m_pid = forkpty(&m_fd, nullptr, nullptr, &ws);
    if (m_pid == 0) {
      setenv("HOME", dir.c_str(), 1);
      setenv("TERM", "xterm", 1);
      unsetenv("NO_COLOR");
      if (chdir(dir.c_str()) == 0) execv(program.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (m_pid > 0) kill(m_pid, SIGKILL), waitpid(m_pid, nullptr, 0);
    close(m_fd);
  }

  // Sends keys once the line editor reads them one at a time: the prompt
  // appears before it leaves the terminal's line mode, and keys that meet
  // the terminal in that mode are edited, echoed or taken by it instead.
  void send(const std::string& keys) {
    for (int i = 0; i < 1000; ++i) {
      termios t{};
      if (tcgetattr(m_fd, &t) == 0 && (t.c_lflag & ICANON) == 0) break;
      usleep(10000);
    }
    m_from = m_seen.size();
    ASSERT_EQ(write(m_fd, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads until text appears after what was last sent (or last expected).
  bool expect(const std::string& text) {
    for (std::size_t at; (at = m_seen.find(text, m_from)) == std::string::npos;) {
      if (!read_some()) {
        ADD_FAILURE() << "no " << text
                      << " in: " << ::testing::PrintToString(m_seen.substr(m_from));
        return false;
      }
    }
    m_from = m_seen.find(text, m_from) + text.size();
    return true;
  }

  // Reads to the end of the program; its exit status.
  int finish() {
    while (read_some()) {
    }
    int status = 0;
    // Still running 10 s after the output ended: it waits for keys it will
    // never get, which is a failure, not a reason to hang.
    pid_t done = 0;
    for (int i = 0; i < 1000 && (done = waitpid(m_pid, &status, WNOHANG)) == 0; ++i)
      usleep(10000);
    if (done == 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::string& seen() const { return m_seen; }

 private:
  // False after 10 s of silence or at the end (EIO once the program ended).
  bool read_some() {
    pollfd p{m_fd, POLLIN, 0};
    char buf[4096];
    ssize_t n = poll(&p, 1, 10000) > 0 ? read(m_fd, buf, sizeof buf) : -1;
    if (n > 0) m_seen.append(buf, static_cast<std::size_t>(n));
    return n > 0;
  }

  int m_fd = -1;
  pid_t m_pid = -1;
  std::string m_seen;
  std::size_t m_from = 0;
};

// Each test in a scratch folder, m_dir.
using TerminalSession = kexio_test::Cli;

const std::string kPrompt = "kexio> ", kMore = "   ...> ";

// Sends each step's keys (none: only wait) and waits for its reply, then,
// when a line entered was answered with anything but a prompt or the end,
// for the prompt. Each line is typed at its prompt, as a person would: keys
// typed earlier may meet the terminal in another mode.
using Steps = std::vector<std::pair<std::string, std::string>>;
void type(Terminal& t, const Steps& steps) {
  for (const auto& [keys, reply] : steps) {
    if (!keys.empty()) t.send(keys);
    ASSERT_TRUE(t.expect(reply)) << "after " << ::testing::PrintToString(keys);
    if (keys.ends_with('\r') && reply != kPrompt && reply != kMore && !reply.empty()) {
      ASSERT_TRUE(t.expect(kPrompt)) << "after " << ::testing::PrintToString(keys);
    }
  }
}

TEST_F(TerminalSession, EditsContinuesClearsRemembersAndQuits) {
  const std::string five = "\r\n5\r\n";
  {
    Terminal t(m_dir, {});
    type(t, {{"", kPrompt},
             // Left arrow and backspace edit the line: "y := 45" becomes "y := 5".
             {"y := 45\033[D\177\r", kPrompt},
             {"y\r", five},
             // An open bracket asks for more with the second prompt; up arrow
             // brings back the last line.
             {"m := [1, 2\r", kMore},
             {"3, 4]\r", kPrompt},
             {"m\r", "2×2 matrix"},
             {"\033[A\r", "2×2 matrix"},
             // Ctrl-C drops the line (once it is echoed), and a statement begun
             // on earlier lines, and the session goes on with its variables.
             {"undefined_name(", "undefined_name("},
             {"\003", kPrompt},
             {"[1,\r", kMore},
             {"\003", kPrompt},
             {"y\r", five},
             {"help READPRN\r", "READPRN(file)"},
             {"help readfile\r", "READFILE(file, type"},
             {"help\r", "quit, exit"},
             {"quit\r", ""}});
    EXPECT_EQ(t.finish(), 0);
    EXPECT_EQ(t.seen().find("error"), std::string::npos) << t.seen();
  }
  EXPECT_NE(read_bytes(m_dir + "/.kexio_history").find("READPRN"), std::string::npos);
  // A new session finds the history: four lines back (before help, help
  // readfile and help READPRN; quit is not kept) is "y", which is not defined
  // there. Tab completes a setting's name, a function's and a folder's; then
  // Ctrl-D ends the session with the failures' status.
  Terminal t(m_dir, {});
  type(t, {{"", kPrompt},
           {"\033[A\033[A\033[A\033[A\r", "'y' is not defined"},
           {"PRNPREC\t * 2\r", "\r\n8\r\n"},
           {"READP\t\"/us\t\")\r", "is a folder: /usr"},
           {"\004", ""}});
  EXPECT_EQ(t.finish(), 1);
}

using Rgb = std::array<int, 3>;
using Cell = std::array<Rgb, 2>;  // upper and lower pixel

// The cells of each line of a picture: the colours set by "ESC[38;2;r;g;bm"
// (foreground: the upper half block) and "ESC[48;2;r;g;bm" (background)
// in force at each U+2580.
std::vector<std::vector<Cell>> cells(const std::string& out) {
  std::vector<std::vector<Cell>> lines(1);
  Cell now{};
  static const std::regex token("\033\\[(38|48);2;(\\d+);(\\d+);(\\d+)m|\u2580|\n");
  for (std::sregex_iterator it(out.begin(), out.end(), token), end; it != end; ++it) {
    const std::smatch& m = *it;
    if (m[1].matched) {
      now[m[1] == "48"] = {std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])};
    } else if (m[0] == "\n") {
      if (!lines.back().empty()) lines.emplace_back();
    } else {
      lines.back().push_back(now);
    }
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

TEST_F(TerminalSession, ViewDrawsTwoPixelRowsPerLineScaledToTheWidth) {
  // A 2 × 2 picture on 20 columns: each element becomes 4 × 4 pixels (no
  // more), so 4 lines of 8 cells, each cell the upper and lower of two pixel
  // rows.
  struct Case {
    std::string call;
    std::array<std::array<Rgb, 2>, 2> px;  // [row][col]
  } cases[] = {
      {"VIEW([0, 255; 100, 50])",
       {{{Rgb{0, 0, 0}, Rgb{255, 255, 255}}, {Rgb{100, 100, 100}, Rgb{50, 50, 50}}}}},
      // Red, green and blue planes side by side; values are clamped to 0..255.
      {"VIEW([255, 0, 0, 0, 255, 0; 0, 0, 300, 10, 20, -4], \"rgb\")",
       {{{Rgb{255, 0, 255}, Rgb{0, 0, 0}}, {Rgb{0, 255, 20}, Rgb{0, 10, 0}}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    Terminal t(m_dir, {"-e", c.call}, 20);
    EXPECT_EQ(t.finish(), 0);
    EXPECT_EQ(t.seen().find("matrix"), std::string::npos) << "the picture stands for the value";
    std::vector<std::vector<Cell>> got = cells(t.seen());
    ASSERT_EQ(got.size(), 4u) << ::testing::PrintToString(t.seen());
    for (std::size_t line = 0; line < 4; ++line) {
      ASSERT_EQ(got[line].size(), 8u);
      for (std::size_t x = 0; x < 8; ++x) {
        Cell want{c.px[line / 2][x / 4], c.px[line / 2][x / 4]};
        EXPECT_EQ(got[line][x], want) << "line " << line << ", column " << x;
      }
    }
  }
  // A 100 × 2 matrix fits the 24 lines of the terminal, less the prompt's.
  std::string rows = "VIEW([0";
  for (int i = 1; i < 200; ++i)
    rows += i % 2 == 1 ? ", 1" : "; 0";
  Terminal t(m_dir, {"-e", rows + "])"}, 20);
  EXPECT_EQ(t.finish(), 0);
  EXPECT_EQ(cells(t.seen()).size(), 22u);
}

// The lines of PLOT's plot beside the y axis ("┤" or "│"), colours taken
// out: each one's width in characters and the cells (from 0) holding Braille
// dots (U+2800 to U+28FF, 3 bytes each).
std::vector<std::pair<std::size_t, std::vector<std::size_t>>> plot_lines(const std::string& out) {
  std::vector<std::pair<std::size_t, std::vector<std::size_t>>> lines;
  for (const std::string& l :
       kexio_test::lines_of(std::regex_replace(out, std::regex("\033\\[[0-9;]*m|\r"), ""))) {
    std::size_t axis = std::min(l.find("\u2502"), l.find("\u2524")), cell = 0;
    if (axis == std::string::npos) continue;
    lines.emplace_back(axis + 1, std::vector<std::size_t>{});  // ASCII label, 1-cell axis
    for (std::size_t i = axis + 3; i < l.size();
         i += l[i] == ' ' ? 1 : 3, ++cell, ++lines.back().first) {
      if (l[i] != ' ') lines.back().second.push_back(cell);
    }
  }
  return lines;
}

TEST_F(TerminalSession, PlotDrawsBrailleLinesSizedToTheTerminal) {
  // Which plot line holds the first and which the last cell with dots: the
  // top one (0), the bottom one (-1) or one between (2).
  const std::tuple<const char*, int, int> cases[] = {
      {"PLOT([0; 1])", -1, 0},           // rising from the bottom left
      {"PLOT([1, 0, 1])", 0, 0},         // one row of values is one line
      {"PLOT([3; 1], [0; 1])", 0, -1},   // in the order of x, not of the rows
      {"PLOT([2; 2; 2])", 2, 2},         // one value: through the middle
      {"PLOT([-1e308; 1e308])", -1, 0},  // a range beyond the largest double
  };
  for (const auto& [call, want_left, want_right] : cases) {
    SCOPED_TRACE(call);
    Terminal t(m_dir, {"-e", call}, 30);
    EXPECT_EQ(t.finish(), 0);
    auto lines = plot_lines(t.seen());
    ASSERT_GE(lines.size(), 2u) << ::testing::PrintToString(t.seen());
    std::size_t first = 99, last = 0;
    int left = 9, right = 9, n = static_cast<int>(lines.size());
    for (int k = 0; k < n; ++k) {
      EXPECT_EQ(lines[k].first, 30u) << "as wide as the terminal";
      auto where = [&] { return k == 0 ? 0 : k == n - 1 ? -1 : 2; };
      for (std::size_t cell : lines[k].second) {
        if (cell < first || (cell == first && where() == -1)) first = cell, left = where();
        if (cell > last || (cell == last && where() == 0)) last = cell, right = where();
      }
    }
    EXPECT_EQ(std::make_pair(left, right), std::make_pair(want_left, want_right));
    EXPECT_EQ(first, 0u);
  }
}

}  // namespace
