// kexio on a terminal: the interactive session driven through a
// pseudo-terminal (editing keys, the second prompt, Ctrl-C, history, help,
// quit), and VIEW's picture read back cell by cell.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "support.h"

namespace {

using kexio_test::read_bytes;

// kexio run on a new pseudo-terminal of the given width, in folder dir,
// which is also its home.
class Terminal {
 public:
  Terminal(const std::string& dir, const std::vector<std::string>& args, unsigned short cols = 80) {
    winsize ws{};
    ws.ws_col = cols;
    ws.ws_row = 24;
    std::string program = kexio_test::kexio_program();
    m_pid = forkpty(&m_fd, nullptr, nullptr, &ws);
    if (m_pid == 0) {
      if (chdir(dir.c_str()) != 0) _exit(126);
      setenv("HOME", dir.c_str(), 1);
      setenv("TERM", "xterm", 1);
      unsetenv("NO_COLOR");
      std::vector<char*> argv{program.data()};
      for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (m_pid > 0 && !m_done) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_fd >= 0) close(m_fd);
  }

  void send(const std::string& keys) {
    m_from = m_seen.size();
    ASSERT_EQ(write(m_fd, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads until text appears after what was last sent (or last expected).
  bool expect(const std::string& text) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (true) {
      std::size_t at = m_seen.find(text, m_from);
      if (at != std::string::npos) {
        m_from = at + text.size();
        return true;
      }
      if (std::chrono::steady_clock::now() > until || !read_some()) {
        ADD_FAILURE() << "no " << ::testing::PrintToString(text)
                      << " in: " << ::testing::PrintToString(m_seen.substr(m_from));
        return false;
      }
    }
  }

  // Everything until the program ends, and its exit status.
  int finish() {
    while (read_some()) {
    }
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_done = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::string& seen() const { return m_seen; }

 private:
  bool read_some() {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return false;
    char buf[4096];
    ssize_t n = read(m_fd, buf, sizeof buf);
    if (n <= 0) return false;  // EIO once the program has ended
    m_seen.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  int m_fd = -1;
  pid_t m_pid = -1;
  bool m_done = false;
  std::string m_seen;
  std::size_t m_from = 0;
};

class TerminalSession : public ::testing::Test {
 protected:
  kexio_test::ScratchDir m_scratch;
  std::string m_dir = m_scratch.path().string();
};

TEST_F(TerminalSession, EditsContinuesClearsRemembersAndQuits) {
  {
    Terminal t(m_dir, {});
    ASSERT_TRUE(t.expect("kexio> "));
    // Left arrow and backspace edit the line: "y := 45" becomes "y := 5".
    t.send("y := 45\033[D\177\r");
    ASSERT_TRUE(t.expect("kexio> "));
    t.send("y\r");
    EXPECT_TRUE(t.expect("\r\n5\r\n"));
    // An open bracket asks for more with the second prompt.
    t.send("m := [1, 2\r");
    EXPECT_TRUE(t.expect("   ...> "));
    t.send("3, 4]\r");
    ASSERT_TRUE(t.expect("kexio> "));
    t.send("m\r");
    EXPECT_TRUE(t.expect("2×2 matrix"));
    // Up arrow brings back the last line.
    t.send("\033[A\r");
    EXPECT_TRUE(t.expect("2×2 matrix"));
    // Ctrl-C drops the line, and a statement begun on earlier lines, and the
    // session goes on with its variables.
    t.send("undefined_name(");
    t.send("\003");
    EXPECT_TRUE(t.expect("kexio> "));
    t.send("[1,\r");
    EXPECT_TRUE(t.expect("   ...> "));
    t.send("\003");
    EXPECT_TRUE(t.expect("kexio> "));
    t.send("y\r");
    EXPECT_TRUE(t.expect("\r\n5\r\n"));
    t.send("help READPRN\r");
    EXPECT_TRUE(t.expect("READPRN(file)"));
    t.send("help\r");
    EXPECT_TRUE(t.expect("quit, exit"));
    t.send("quit\r");
    EXPECT_EQ(t.finish(), 0);
    EXPECT_EQ(t.seen().find("error"), std::string::npos) << t.seen();
  }
  EXPECT_NE(read_bytes(m_dir + "/.kexio_history").find("READPRN"), std::string::npos);
  {
    // A new session finds the history: four lines back (before quit, help
    // and help READPRN) is "y", which is not defined there; then Ctrl-D
    // ends the session with the failure's status.
    Terminal t(m_dir, {});
    ASSERT_TRUE(t.expect("kexio> "));
    t.send("\033[A\033[A\033[A\033[A\r");
    EXPECT_TRUE(t.expect("'y' is not defined"));
    EXPECT_TRUE(t.expect("kexio> "));
    t.send("\004");
    EXPECT_EQ(t.finish(), 1);
  }
}

using Rgb = std::array<int, 3>;
struct Cell {
  Rgb top, bottom;
  bool operator==(const Cell&) const = default;
};

// The cells of each line of a picture: the colours set by "ESC[38;2;r;g;bm"
// (foreground: the upper half block) and "ESC[48;2;r;g;bm" (background)
// that are in force at each U+2580.
std::vector<std::vector<Cell>> cells(const std::string& out) {
  std::vector<std::vector<Cell>> lines(1);
  Rgb fg{-1, -1, -1}, bg{-1, -1, -1};
  const std::string block = "\u2580";
  for (std::size_t i = 0; i < out.size();) {
    if (out.compare(i, 2, "\033[") == 0) {
      std::size_t m = out.find('m', i);
      std::vector<int> n;
      for (std::size_t p = i + 2; p < m;) {
        std::size_t q = out.find_first_of(";m", p);
        n.push_back(std::atoi(out.substr(p, q - p).c_str()));
        p = q + 1;
      }
      if (n.size() == 5 && n[1] == 2 && (n[0] == 38 || n[0] == 48))
        (n[0] == 38 ? fg : bg) = {n[2], n[3], n[4]};
      if (n.size() == 1 && n[0] == 0) fg = bg = {-1, -1, -1};
      i = m + 1;
    } else if (out.compare(i, block.size(), block) == 0) {
      lines.back().push_back({fg, bg});
      i += block.size();
    } else {
      if (out[i] == '\n' && !lines.back().empty()) lines.emplace_back();
      ++i;
    }
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

TEST_F(TerminalSession, ViewDrawsTwoPixelRowsPerLineScaledToTheWidth) {
  // A 2 × 2 picture on 20 columns: each pixel becomes 10 × 10, so 10 lines
  // of 20 cells, each cell the upper and lower of two pixel rows.
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
    ASSERT_EQ(got.size(), 10u) << ::testing::PrintToString(t.seen());
    for (std::size_t line = 0; line < 10; ++line) {
      ASSERT_EQ(got[line].size(), 20u);
      for (std::size_t x = 0; x < 20; ++x) {
        Cell want{c.px[2 * line / 10][x / 10], c.px[(2 * line + 1) / 10][x / 10]};
        EXPECT_EQ(got[line][x], want) << "line " << line << ", column " << x;
      }
    }
  }
}

}  // namespace
