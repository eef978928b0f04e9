#include "repl.h"

#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iostream>
#include <string>

#include "help.h"
#include "parser.h"
#include "source.h"
#include "text.h"

namespace kexio::app {

namespace {

// Set by SIGINT, which also writes a byte to the pipe g_wake so that a
// wait for a key ends at once (a flag alone could be set just before the
// wait began). A signal handler can reach nothing else, so these two are
// process-wide; only the interactive session installs the handler.
volatile std::sig_atomic_t g_interrupted = 0;
volatile std::sig_atomic_t g_wake = -1;

extern "C" void on_interrupt(int) {
  int saved = errno;
  g_interrupted = 1;
  if (g_wake >= 0) {
    char c = 0;
    if (::write(g_wake, &c, 1) < 0) {
      // The pipe is full: a wake-up is already waiting.
    }
  }
  errno = saved;
}

struct PromptState {
  bool continued = false;
  int wake = -1;                     // the read end of the pipe SIGINT writes to
  const Session* session = nullptr;  // the names and the folder Tab completes
};

// Reads one character of the line (UTF-8 in the locale's terms) for the
// editor, giving up with EINTR as soon as Ctrl-C is pressed.
extern "C" int read_key(EditLine* el, wchar_t* out) {
  void* data = nullptr;
  el_get(el, EL_CLIENTDATA, &data);
  int wake = static_cast<PromptState*>(data)->wake;
  std::mbstate_t state{};
  for (;;) {
    if (g_interrupted) {
      errno = EINTR;
      return -1;
    }
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[1].revents != 0) {
      char drain[16];
      if (::read(wake, drain, sizeof drain) < 0) {
        // Nothing to drain after all.
      }
      continue;
    }
    char b;
    ssize_t got = ::read(STDIN_FILENO, &b, 1);
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    wchar_t w;
    std::size_t r = std::mbrtowc(&w, &b, 1, &state);
    if (r == static_cast<std::size_t>(-2)) continue;  // more bytes to come
    if (r == static_cast<std::size_t>(-1)) {
      state = {};
      w = static_cast<unsigned char>(b);
    }
    *out = w;
    return 1;
  }
}

extern "C" char* prompt(EditLine* el) {
  void* data = nullptr;
  el_get(el, EL_CLIENTDATA, &data);
  static char first[] = "kexio> ";
  static char more[] = "   ...> ";
  return static_cast<PromptState*>(data)->continued ? more : first;
}

// Tab: what the line up to the cursor ends in becomes the candidates' common
// beginning; when that adds nothing, the candidates are listed.
extern "C" unsigned char complete_key(EditLine* el, int) {
  void* data = nullptr;
  el_get(el, EL_CLIENTDATA, &data);
  const Session* session = static_cast<PromptState*>(data)->session;
  const LineInfo* li = el_line(el);
  if (session == nullptr || li == nullptr) return CC_ERROR;
  std::string before(li->buffer, static_cast<std::size_t>(li->cursor - li->buffer));
  // After help a function is named, not called.
  std::size_t word =
      before.find_last_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_");
  std::string head = before.substr(0, word == std::string::npos ? 0 : word + 1);
  bool named = repl_command(head + "x").kind == Command::Kind::Help;
  Completion c = complete(before, session->names(), session->cwd(), !named);
  if (c.candidates.empty()) return CC_ERROR;
  std::string typed = before.substr(c.start), common = c.candidates.front();
  for (const std::string& k : c.candidates) {
    std::size_t n = 0;
    while (n < common.size() && n < k.size() && common[n] == k[n])
      ++n;
    common.resize(n);
  }
  // A common beginning cut inside a UTF-8 character is cut before it.
  while (!common.empty() && (static_cast<unsigned char>(common.back()) & 0xC0) == 0x80)
    common.pop_back();
  if (!common.empty() && (static_cast<unsigned char>(common.back()) & 0xC0) == 0xC0)
    common.pop_back();
  if (common.size() > typed.size() || (common.size() == typed.size() && common != typed)) {
    el_deletestr(el, static_cast<int>(char_count(typed)));
    el_insertstr(el, common.c_str());
    return CC_REFRESH;
  }
  if (c.candidates.size() == 1) return CC_NORM;
  std::string list = "\n";
  for (const std::string& k : c.candidates)
    list += k + "  ";
  std::fputs((list + "\n").c_str(), stderr);
  return CC_REDISPLAY;
}

std::string history_path() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  return std::string(home) + "/.kexio_history";
}

std::string trimmed(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Owns the line editor and the history and puts the terminal and the
// SIGINT handling back as they were.
class Editor {
 public:
  explicit Editor(const Session& session) {
    m_state.session = &session;
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a read at the prompt returns at Ctrl-C
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      m_state.wake = fds[0];
      g_wake = fds[1];
    }
    sigaction(SIGINT, &sa, &m_old_int);
    std::setlocale(LC_CTYPE, "");

    m_history = history_init();
    history(m_history, &m_ev, H_SETSIZE, 1000);
    history(m_history, &m_ev, H_SETUNIQUE, 1);
    m_path = history_path();
    if (!m_path.empty()) history(m_history, &m_ev, H_LOAD, m_path.c_str());

    m_el = el_init("kexio", stdin, stderr, stderr);
    el_set(m_el, EL_CLIENTDATA, &m_state);
    el_set(m_el, EL_PROMPT, prompt);
    el_set(m_el, EL_EDITOR, "emacs");
    el_set(m_el, EL_HIST, history, m_history);
    // The wide form keeps these names as they are; the narrow one copies
    // them into memory that the editor never frees.
    el_wset(m_el, EL_ADDFN, L"kexio-complete", L"complete a name", complete_key);
    el_set(m_el, EL_BIND, "^I", "kexio-complete", nullptr);
    if (m_state.wake >= 0) el_set(m_el, EL_GETCFN, read_key);
    el_source(m_el, nullptr);  // the user's ~/.editrc, when there is one
  }
  Editor(const Editor&) = delete;
  Editor& operator=(const Editor&) = delete;
  ~Editor() {
    el_end(m_el);
    if (!m_path.empty()) history(m_history, &m_ev, H_SAVE, m_path.c_str());
    history_end(m_history);
    sigaction(SIGINT, &m_old_int, nullptr);
    if (m_state.wake >= 0) {
      ::close(g_wake);
      g_wake = -1;
      ::close(m_state.wake);
    }
  }

  enum class Read { Line, Interrupted, End };

  // One line without its line break.
  Read get(bool continued, std::string& line) {
    m_state.continued = continued;
    // Ctrl-C pressed while a statement ran is forgotten.
    g_interrupted = 0;
    char drain[16];
    while (m_state.wake >= 0 && ::read(m_state.wake, drain, sizeof drain) > 0) {
    }
    int count = 0;
    const char* got = el_gets(m_el, &count);
    if (g_interrupted || (got == nullptr && count < 0 && errno == EINTR)) {
      g_interrupted = 0;
      return Read::Interrupted;
    }
    if (got == nullptr || count <= 0) return Read::End;
    line.assign(got, static_cast<std::size_t>(count));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return Read::Line;
  }

  void remember(const std::string& line) {
    if (!trimmed(line).empty()) history(m_history, &m_ev, H_ENTER, line.c_str());
  }

 private:
  EditLine* m_el = nullptr;
  History* m_history = nullptr;
  HistEvent m_ev{};
  PromptState m_state;
  std::string m_path;
  struct sigaction m_old_int {};
};

}  // namespace

Command repl_command(const std::string& line) {
  std::string t = trimmed(line);
  Command c;
  if (t == "quit" || t == "exit") {
    c.kind = Command::Kind::Quit;
  } else if (t == "help") {
    c.kind = Command::Kind::Help;
  } else if (t.rfind("help ", 0) == 0 || t.rfind("help\t", 0) == 0) {
    std::string name = trimmed(t.substr(5));
    if (name.find_first_of(" \t()\"") == std::string::npos) {
      c.kind = Command::Kind::Help;
      c.name = name;
    }
  }
  return c;
}

void run_repl(Runner& runner, const std::string& banner) {
  Editor editor(runner.session());
  std::cerr << banner << std::flush;
  StatementLines statements(runner);
  std::string line;
  while (true) {
    Editor::Read r = editor.get(!statements.empty(), line);
    if (r == Editor::Read::End) break;
    if (r == Editor::Read::Interrupted) {
      // The line (and a statement begun on earlier lines) is dropped.
      std::cerr << "^C\n" << std::flush;
      statements.drop();
      continue;
    }
    // quit and exit are not worth recalling.
    Command c = statements.empty() ? repl_command(line) : Command{};
    if (c.kind == Command::Kind::Quit) break;
    editor.remember(line);
    if (c.kind == Command::Kind::Help) {
      std::cout << (c.name.empty() ? repl_help_text() : function_help(c.name)) << std::flush;
      statements.skip();
      continue;
    }
    statements.add(line);
  }
  std::cerr << "\n" << std::flush;
  statements.finish();
}

}  // namespace kexio::app
