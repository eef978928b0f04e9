// The kexio program end to end: inputs (-e, files, standard input), the
// worksheet directory, exit statuses, --help, --json and the tour; what the
// host says beyond the message: the library's details (why and where), hints
// for the usual slips, the statement's line in JSON, and VIEW away from a
// terminal. kexio on a terminal: the interactive session driven through a
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
#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "functions.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;
using namespace kexio_test;

TEST_F(Cli, EvaluationGoesOnAfterErrorsAndTheStatusTellsIfAnyFailed) {
  // -e texts run in order in one session; assignments show nothing.
  Result r = kexio({"-e", "x := 3; y := [1, 2]", "-e", "y * x; undefined_name; x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "1×2 matrix\n  3  6\n3\n");
  // The source of an error is named after its input, here the second -e.
  EXPECT_NE(r.err.find("-e:1:8: error: 'undefined_name' is not defined"), std::string::npos)
      << r.err;
  r = kexio({"-e", "1 +", "-e", "2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "2\n");
  EXPECT_NE(r.err.find("syntax error"), std::string::npos);
}

TEST_F(Cli, StandardInputIsReadWhenNothingElseIsGiven) {
  Result r = kexio({}, "a := [1, 2\n 3, 4]\na / 2\n\n# done\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2×2 matrix\n  0.5  1\n  1.5  2\n");
  EXPECT_EQ(r.err, "");  // no prompt: standard input is not a terminal
  // Lines are counted across the pieces read.
  r = kexio({}, "1\n[1,\n 2]\nnope\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lines_of(r.err)[0], "<stdin>:4:1: error: 'nope' is not defined");
  // '-' reads it in order with the other inputs.
  r = kexio({"-e", "v := 5", "-", "-e", "v + 1"}, "v := v * 2\nv\n");
  EXPECT_EQ(r.out, "10\n11\n");
  // An unclosed bracket at the end is a syntax error, not a hang.
  r = kexio({}, "[1, 2\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lines_of(r.err)[0],
            "<stdin>:1:1: syntax error: the matrix opened here is not closed: expected ']'");
}

TEST_F(Cli, ScriptFilesShowTheirLinesWithTheValues) {
  write("s/script.kx", "# Intro\nx := 2\n\nx * 3  # six\n[1, 2]\n# end\n");
  Result r = kexio({"s/script.kx"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "# Intro\n> x := 2\n\n> x * 3  # six\n6\n> [1, 2]\n1×2 matrix\n  1  2\n# end\n");
  r = kexio({"--no-echo", "s/script.kx"});
  EXPECT_EQ(r.out, "6\n1×2 matrix\n  1  2\n");
  r = kexio({"--echo", "-e", "1"});
  EXPECT_EQ(r.out, "> 1\n1\n");
  // Errors name the script and the line.
  write("bad.kx", "1\n\nREADPRN(7)\n");
  r = kexio({"bad.kx"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lines_of(r.err)[0], "bad.kx:3:9: error: must be string");
}

TEST_F(Cli, UsageErrorsExitWithTwoBeforeAnythingRuns) {
  write("ok.kx", "WRITEPRN(\"x.prn\", 1)\n");
  for (const char* bad : {"--bogus", "-e", "--cwd", "--prn-precision x", "--prn-precision 2.5",
                          "--prn-colwidth 3000000000", "--cwd no-such-dir -e 1", "ok.kx missing.kx",
                          "- -", "ok.kx ."}) {
    std::vector<std::string> args;
    std::istringstream words(bad);
    for (std::string w; words >> w;)
      args.push_back(w);
    Result r = kexio(args);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(r.out, "") << bad;
    EXPECT_EQ(r.err.rfind("kexio: ", 0), 0u) << r.err;
  }
  EXPECT_FALSE(fs::exists(m_dir + "/x.prn"));
}

TEST_F(Cli, SettingsFromTheCommandLine) {
  Result r =
      kexio({"--prn-precision", "7", "--prn-colwidth=20", "-e", "PRNPRECISION; PRNCOLWIDTH"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "7\n20\n");
}

TEST_F(Cli, HelpListsEveryFunctionAndVersionAnswers) {
  Result r = kexio({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const kexio::app::Function& f : kexio::app::functions()) {
    std::string call = std::string(f.name) + "(" + f.params + ")";
    EXPECT_NE(r.out.find(call), std::string::npos) << call;
  }
  EXPECT_NE(r.out.find("WRITERAW("), std::string::npos);
  EXPECT_NE(r.out.find("assignment shows nothing"), std::string::npos);
  r = kexio({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("kexio ", 0), 0u);
}

TEST_F(Cli, TheWorksheetDirectoryIsTheScriptsFolderUnlessGiven) {
  write("w/data.prn", "1 2\n3 4\n");
  write("w/read.kx", "READPRN(\"data.prn\")\n");
  Result r = kexio({"--json", "w/read.kx"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, R"({"type":"matrix","rows":2,"cols":2,"data":[[1,2],[3,4]]})"
                   "\n");
  // -e resolves against the current directory; --cwd overrides both.
  r = kexio({"--json", "-e", "READPRN(\"w/data.prn\")"});
  EXPECT_EQ(r.status, 0) << r.out;
  r = kexio({"--json", "--cwd", m_dir + "/w", "-e", "WRITEPRN(\"out.prn\", [5, 6])"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(fs::exists(m_dir + "/w/out.prn"));
  write("other/read.kx", "READPRN(\"data.prn\")\n");
  r = kexio({"--json", "--cwd", "w", "other/read.kx"});
  EXPECT_EQ(r.status, 0) << r.out;
  // File names and the worksheet directory beyond Latin-1 are UTF-8 paths.
  fs::create_directory(m_dir + "/\xe6\x97\xa5\xe6\x9c\xac");  // 日本
  r = kexio({"--json", "--cwd", "\xe6\x97\xa5\xe6\x9c\xac", "-e",
             "WRITEPRN(\"\xe8\xa1\xa8\", [1, 2]); READPRN(\"\xe8\xa1\xa8.prn\")"});
  const std::string row = "{\"type\":\"matrix\",\"rows\":1,\"cols\":2,\"data\":[[1,2]]}\n";
  EXPECT_EQ(r.out, row + row) << r.err;
  EXPECT_TRUE(fs::exists(m_dir + "/\xe6\x97\xa5\xe6\x9c\xac/\xe8\xa1\xa8.prn"));
}

// The tour (a copy of examples/, whose files it writes) runs to its end:
// every statement shows a value or an error, and nothing crashes.
TEST_F(Cli, TheTourRunsToItsEnd) {
  fs::copy(std::string(KEXIO_SOURCE_DIR) + "/examples", m_dir + "/examples",
           fs::copy_options::recursive);
  Result r = kexio({"--json", "examples/tour.kx"});
  EXPECT_LE(r.status, 1) << "a crash";
  EXPECT_EQ(r.err, "");
  EXPECT_GT(lines_of(r.out).size(), 10u);
  for (const std::string& l : lines_of(r.out))
    EXPECT_EQ(l.rfind("{\"type\":", 0), 0u) << l;
}

// The fields of each --json error line, one line each:
// message|detail|hint|arg|line, with "-" for a field that is absent.
std::vector<std::string> json_errors(const std::string& out) {
  int status = 0;
  std::string said = run_python(R"(import json, sys
for line in open(sys.argv[1]):
    v = json.loads(line)
    if v["type"] != "error": continue
    print("|".join(str(v[k]) if k in v else "-" for k in ("message", "detail", "hint", "arg", "line"))))",
                                out, status);
  EXPECT_EQ(status, 0) << said;
  return lines_of(said);
}

// A PCM WAV file of 8-bit mono samples whose data chunk announces `claimed`
// bytes and holds `present`.
std::string wav(std::uint32_t claimed, std::uint32_t present) {
  return "RIFF" + le(36 + claimed, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) + le(8000, 4) +
         le(8000, 4) + le(1, 2) + le(8, 2) + "data" + le(claimed, 4) + std::string(present, '\x80');
}

TEST_F(Cli, FailuresCarryWhyAndWhereBesideTheExactMessage) {
  write("folder.prn/keep", "");
  write("sub/keep", "");
  // Line 5 is the short row: a blank line and a comment line come before it.
  write("short.prn", "1 2 3\n4 5 6\n\n// note\n7 8\n9 10 11\n");
  write("early.wav", wav(1204 + 100, 100));
  write("nul.csv", std::string("1,2\n3,\0\n", 8));
  const std::string d = fs::canonical(m_dir).string();
  struct Case {
    std::string text, message, detail;
  } cases[] = {
      {R"(READPRN("missing.prn"))", "file open error", "no such file: " + d + "/missing.prn"},
      {R"(READPRN("folder.prn"))", "file open error", "is a folder: " + d + "/folder.prn"},
      {R"(READBIN("no/such/x.bin", "byte"))", "file open error", "no such folder: " + d + "/no"},
      {R"(READ_IMAGE("none.bmp"))", "file open error", "no such file: " + d + "/none.bmp"},
      // An image name without extension is completed; what it names itself
      // is said when the completed name is missing.
      {R"(READRGB("sub"))", "file open error", "is a folder: " + d + "/sub"},
      {R"(READ_IMAGE("/dev/zero"))", "file open error",
       "is a device, not a regular file: /dev/zero"},
      {R"(READ_IMAGE("folder.prn"))", "file i/o error", "is a folder: " + d + "/folder.prn"},
      {R"(READFILE("folder.prn", "csv"))", "file open error", "is a folder: " + d + "/folder.prn"},
      {R"(READRAW("folder.prn", 1, 1, 1, "byte", 0))", "file open error",
       "is a folder: " + d + "/folder.prn"},
      {R"(READPRN("short.prn"))", "file i/o error", "line 5 has 2 values, the rows above have 3"},
      {R"(READWAV("early.wav"))", "out of memory", "the data chunk ends 1,204 bytes early"},
      // A stream that gives no end, and a text data file with a NUL byte.
      {R"(READPRN("/dev/zero"))", "file i/o error",
       "the stream gives more than 64 MiB without a value"},
      {R"(READFILE("/dev/zero", "csv"))", "file i/o error",
       "a NUL byte at offset 0: a text data file holds none"},
      {R"(READFILE("nul.csv", "csv"))", "file i/o error",
       "a NUL byte at offset 6: a text data file holds none"},
      // The writers keep the system's own words as their message.
      {R"(WRITEPRN("gone/t.prn", 1))", "No such file or directory",
       "no such folder: " + d + "/gone"},
      {R"(WRITEBIN("folder.prn", "byte", 0, [1]))", "file write error",
       "is a folder: " + d + "/folder.prn"},
      {R"(WRITEWAV("gone/a.wav", 8000, 8, [1]))", "file open error",
       "no such folder: " + d + "/gone"},
      {R"(WRITEBMP("gone/a.bmp", [1]))", "No such file or directory",
       "no such folder: " + d + "/gone"},
      {R"(WRITERGB("gone/a.png", [1, 2, 3]))", "No such file or directory",
       "no such folder: " + d + "/gone"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Result t = kexio({"-e", c.text});
    EXPECT_EQ(t.status, 1);
    std::vector<std::string> l = lines_of(t.err);
    ASSERT_GE(l.size(), 4u) << t.err;
    EXPECT_NE(l[0].find("error: " + c.message), std::string::npos) << l[0];
    EXPECT_EQ(l[3], "  = note: " + c.detail);

    // The same in JSON: the message exactly as raised, the detail beside it.
    std::vector<std::string> j = json_errors(kexio({"--json", "-e", c.text}).out);
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0].substr(0, c.message.size() + 1), c.message + "|") << j[0];
    EXPECT_NE(j[0].find("|" + c.detail + "|-|"), std::string::npos) << j[0];
  }
}

TEST_F(Cli, APermissionRefusalSaysSo) {
  write("locked.prn", "1 2\n");
  fs::permissions(m_dir + "/locked.prn", fs::perms::none);
  const std::string want =
      "  = note: permission denied: " + fs::canonical(m_dir).string() + "/locked.prn";
  // The child may make files in the test's folder only.
  EXPECT_TRUE(as_unprivileged(m_scratch, [&] {
    return lines_of(kexio({"-e", R"(READPRN("locked.prn"))"}).err).back() == want;
  }));
}

TEST_F(Cli, JsonErrorsTellTheLineOfTheirStatementAndLeaveOutAnAbsentDetail) {
  write("s.kx", "x := 1\n\ny := [1,\n  2] * \"a\"\nREADPRN(\"nothing.prn\"); q\nz = 1\n");
  Result r = kexio({"--json", "s.kx"});
  EXPECT_EQ(r.status, 1);
  std::vector<std::string> j = json_errors(r.out);
  ASSERT_EQ(j.size(), 4u) << r.out;
  // A statement over two lines is at its first line; two on one line share it.
  EXPECT_EQ(j[0].substr(j[0].rfind('|')), "|3");
  EXPECT_NE(j[0].find("|-|-|"), std::string::npos) << j[0];
  EXPECT_EQ(j[1].substr(j[1].rfind('|')), "|5");
  EXPECT_NE(j[1].find("|no such file: "), std::string::npos) << j[1];
  EXPECT_EQ(j[2].substr(j[2].rfind('|')), "|5");
  EXPECT_EQ(j[3].substr(j[3].rfind('|')), "|6");
  // A syntax error's message says where in the source it lies.
  EXPECT_EQ(j[3].rfind("syntax error (s.kx line 6, column ", 0), 0u) << j[3];
  EXPECT_NE(j[3].find("): unexpected '='|"), std::string::npos) << j[3];
}

TEST_F(Cli, UsualSlipsGetAHintThatPutsThemRight) {
  struct Case {
    std::string text, hint;
  } cases[] = {
      {"READPRN('data.csv')", R"(strings take double quotes: "data.csv")"},
      {"READPRN('say \"hi\"')", R"(strings take double quotes: "say \"hi\"")"},
      {"READPRN(data.csv)", R"(a file name is a string in double quotes: "data.csv")"},
      {"READPRN(data)", R"(a file name is a string in double quotes: READPRN("data"))"},
      {"WRITEPRN(out, 1)", R"(a file name is a string in double quotes: WRITEPRN("out", ...))"},
      {"x = [1, 2]", "assign with ':=': x := [1, 2]"},
      {"readprn(\"a\")", "did you mean READPRN?"},
      {"READPNR(\"a\")", "did you mean READPRN?"},
      {"READ_REX(\"a\")", "did you mean READ_RED?"},
      {"WRITEBN(\"a\", \"byte\", 0, [1])", "did you mean WRITEBIN?"},
      {"getwavinfo", "did you mean the function GETWAVINFO?"},
      // Nothing near enough, or two names equally near: no guess.
      {"FROB(1)", "kexio --help lists the functions"},
      {"READ_HLS_XXX(1)", "kexio --help lists the functions"},
      {"undefined_thing", "assign it first with undefined_thing := ..."},
      // A function that counts its arguments itself, and a type word it lacks.
      {R"(READBIN("f"))", "call it as READBIN(file, type [, endian [, cols [, skip [, rows]]]])"},
      {R"(READBIN("f", "int17"))",
       "the type is one of byte, sint8, uint16, int16, uint32, int32, float, double"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Result t = kexio({"-e", c.text});
    EXPECT_EQ(t.status, 1);
    EXPECT_EQ(lines_of(t.err).back(), "  = help: " + c.hint) << t.err;
    std::vector<std::string> j = json_errors(kexio({"--json", "-e", c.text}).out);
    ASSERT_EQ(j.size(), 1u);
    EXPECT_NE(j[0].find("|-|" + c.hint + "|"), std::string::npos) << j[0];
  }
  // A name whose assignment failed is no slip either: the note says so.
  EXPECT_EQ(lines_of(kexio({"-e", "x := 1\nq := [1] + \"a\"\nREADPRN(q)"}).err).back(),
            "  = note: q has no value because its assignment on line 2 failed");
  // A variable that holds the name is no slip.
  EXPECT_EQ(kexio({"-e", "data := \"nothing.prn\"; READPRN(data)"}).err.find("help:"),
            std::string::npos);
}

TEST_F(Cli, ViewPlotAndPlayAwayFromATerminalNoteWhyAndGiveTheirMatrix) {
  // Each call and the start of the note it prints instead of its value.
  const char* const cases[][2] = {
      {"VIEW([0, 255; 10, 20])", "(a 2×2 picture: VIEW draws on a colour terminal only"},
      {"VIEW([1, 2, 3], \"rgb\")", "(a 1×1 picture"},
      {"PLOT([1, 2; 3, 4; 5, 6])", "(a plot of 2 lines of 3 points: PLOT draws on a colour "},
      {"PLOT([1, 2, 3], [0, 1, 0])", "(a plot of 1 line of 3 points"},
      {"PLAY([0, 1; 2, 3; 4, 5; 6, 7], 8000.9, 8)",
       "(2 channels of 0.0005 s at 8000 Hz, 8 bits: PLAY plays sound in a notebook only"},
  };
  for (const auto& [call, note] : cases) {
    Result t = kexio({"-e", call});
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(t.out.rfind(note, 0), 0u) << t.out;
    EXPECT_EQ(lines_of(t.out).size(), 1u) << "the note stands for the value: " << t.out;
    // In JSON only the value: one matrix.
    EXPECT_EQ(lines_of(kexio({"--json", "-e", call}).out)[0].rfind("{\"type\":\"matrix\"", 0), 0u);
  }
  // What it cannot show is refused at the argument.
  for (const char* bad :
       {"VIEW(1)", "VIEW([1, 2i])", "VIEW([1, 2], \"rgb\")", "VIEW([1], \"hsv\")"}) {
    EXPECT_EQ(kexio({"-e", bad}).status, 1) << bad;
  }
}

// kexio run on a new pseudo-terminal of the given width, in folder dir,
// which is also its home.
class Terminal {
 public:
  Terminal(const std::string& dir, const std::vector<std::string>& args, unsigned short cols = 80) {
    winsize ws{24, cols, 0, 0};
    std::string program = kexio_program();
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
using TerminalSession = Cli;

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
       lines_of(std::regex_replace(out, std::regex("\033\\[[0-9;]*m|\r"), ""))) {
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
