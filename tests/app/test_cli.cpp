// The kexio program end to end: inputs (-e, files, standard input), the
// worksheet directory, exit statuses, --help, --json and the tour; what the
// host says beyond the message: the library's details (why and where), hints
// for the usual slips, the statement's line in JSON, and VIEW away from a
// terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "functions.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;
using kexio_test::Cli;
using kexio_test::lines_of;
using kexio_test::read_bytes;
using kexio_test::Result;

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
  std::string said = kexio_test::run_python(R"(import json, sys
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
  using kexio_test::le;
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
  EXPECT_TRUE(kexio_test::as_unprivileged(m_scratch, [&] {
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

}  // namespace
