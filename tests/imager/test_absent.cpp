// The kexio program installed without the image library: every call that
// needs it reports "unknown file format" and creates nothing, and once the
// library is put beside libkexio.so the same session finds it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;

// kexio --json reading statements from a pipe, one answer line per
// statement.
class Session {
 public:
  Session(const std::string& program, const std::string& cwd) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      execl(program.c_str(), program.c_str(), "--json", "--cwd", cwd.c_str(), nullptr);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_to = in[1];
    m_from = out[0];
  }
  ~Session() {
    close(m_to);
    close(m_from);
    if (m_pid > 0) waitpid(m_pid, nullptr, 0);
  }
  std::string ask(const std::string& statement) {
    std::string line = statement + "\n";
    if (write(m_to, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    std::string answer;
    for (char c; read(m_from, &c, 1) == 1 && c != '\n';)
      answer += c;
    return answer;
  }

 private:
  pid_t m_pid = -1;
  int m_to = -1, m_from = -1;
};

TEST(ImagerAbsent, UnknownFormatUntilTheLibraryIsThere) {
  const std::string program = KEXIO_PROGRAM, imager = KEXIO_IMAGER;
  // The program and its libraries, all but the image library.
  kexio_test::ScratchDir tree, work;
  fs::create_directories(tree.path() / "bin");
  fs::create_directories(tree.path() / "lib");
  fs::copy_file(program, tree.path() / "bin/kexio");
  for (const auto& e : fs::directory_iterator(fs::path(imager).parent_path())) {
    const std::string name = e.path().filename().string();
    if (name.rfind("lib", 0) != 0 || name.find(".so") == std::string::npos ||
        name.find("keximager") != std::string::npos) {
      continue;
    }
    if (e.is_symlink()) {
      fs::copy_symlink(e.path(), tree.path() / "lib" / name);
    } else if (e.is_regular_file()) {
      fs::copy_file(e.path(), tree.path() / "lib" / name);
    }
  }
  Session kexio((tree.path() / "bin/kexio").string(), work.path().string());

  const std::pair<std::string, const char*> calls[] = {
      {R"(WRITEBMP("a.tif", [1, 2, 3]))", "a.tif"},
      {R"(WRITEBMP("b.PGM", [1, 2, 3]))", "b.PGM"},
      {R"(WRITEBMP("c.pbm", [1, 2, 3]))", "c.pbm"},
      {R"(WRITEBMP("d.Png", [1, 2, 3]))", "d.Png"},
      {R"(WRITERGB("e.ppm", [1, 2, 3]))", "e.ppm"},
      {R"(WRITERGB("f.png", [1, 2, 3]))", "f.png"},
      {R"(WRITERAW("g.raw", 1, "byte", [1, 2, 3]))", "g.raw"},
      {R"(READRAW("g.raw", 3, 1, 1, "byte", 0))", nullptr}};
  const std::string absent = R"({"type":"error","message":"unknown file format","arg":null})";
  for (const auto& [call, file] : calls) {
    EXPECT_EQ(kexio.ask(call), absent) << call;
    if (file != nullptr) {
      EXPECT_FALSE(fs::exists(work.path() / file)) << file;
    }
  }
  // Other names still make BMP files.
  EXPECT_EQ(kexio.ask(R"(WRITERGB("h.TIF", [1, 2, 3]))"), R"({"type":"number","re":0,"im":0})");

  // A failed load is not remembered: the next call finds the library.
  fs::copy_file(imager, tree.path() / "lib/libkeximager.so");
  for (const auto& [call, file] : calls) {
    const std::string answer = kexio.ask(call);
    if (file != nullptr) {
      EXPECT_EQ(answer, R"({"type":"number","re":0,"im":0})") << call;
      EXPECT_TRUE(fs::exists(work.path() / file)) << file;
    } else {
      EXPECT_EQ(answer, R"({"type":"matrix","rows":1,"cols":3,"data":[[1,2,3]]})");
    }
  }
}

}  // namespace
