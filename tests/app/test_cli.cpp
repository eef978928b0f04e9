// The kexio program end to end: inputs (-e, files, standard input), the
// worksheet directory, exit statuses, --help, --json and the tour.
#include <gtest/gtest.h>

#include <filesystem>

#include "functions.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;
using kexio_test::lines_of;
using kexio_test::read_bytes;

using kexio_test::Cli;
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

}  // namespace
