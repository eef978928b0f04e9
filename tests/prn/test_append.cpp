// APPENDPRN: rows joined below the table in the file, the refusals, and the
// replacement of the file that keeps the old table when writing fails, keeps
// the file's permissions and updates the target of a symbolic link.
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>

#include "prn_test.h"

namespace {

using namespace prn_test;

Ref append(const TempDir& dir, const std::string& name, const Ref& m, int precision = 4,
           int width = 8) {
  return IO::APPENDPRN(dir.cwd(), precision, width, str(name), m);
}

std::vector<std::string> entries(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AppendPrn, JoinsRowsBelowTheTable) {
  TempDir dir;
  // A missing file is created with the new rows alone; then the whole table
  // is written again with the settings of each call.
  EXPECT_EQ(rows_of(append(dir, "t.txt", mat({{1, 2}, {3, 4}}))), (Rows{{1, 2}, {3, 4}}));
  EXPECT_EQ(rows_of(append(dir, "t.txt", mat({{5, 6}}), 3, 4)), (Rows{{1, 2}, {3, 4}, {5, 6}}));
  EXPECT_EQ(read_file(dir / "t.txt"), "   1   2\n   3   4\n   5   6\n");
  write_file(dir / "hand.txt", "// measured\ntime volts\n0.5 1e3\n1.5,2e3\n");
  EXPECT_EQ(rows_of(append(dir, "hand.txt", mat({{2.5, 3e3}}), 4, 5)),
            (Rows{{0.5, 1000}, {1.5, 2000}, {2.5, 3000}}));
  EXPECT_EQ(read_file(dir / "hand.txt"), "  0.5 1000\n  1.5 2000\n  2.5 3000\n");

  // Complex rows turn the file into the nested format; real rows join it.
  auto z = mat({{1, 2}});
  z->m_iarr = Cvd::NewArray(2);
  z->m_iarr[0] = 0;
  z->m_iarr[1] = -1;
  EXPECT_TRUE(as_mat(append(dir, "t.txt", z))->get_HasImag());
  Ref r = append(dir, "t.txt", mat({{7, 8}}));
  EXPECT_EQ(rows_of(r), (Rows{{1, 2}, {3, 4}, {5, 6}, {1, 2}, {7, 8}}));
  Ref back = read_prn(dir, "t.txt");
  EXPECT_EQ(rows_of(back), rows_of(r));
  EXPECT_EQ(as_mat(back)->imag()[8], -1);
}

TEST(AppendPrn, RefusalsLeaveTheFileAlone) {
  TempDir dir;
  write_file(dir / "t.txt", "1 2\n3 4\n");
  EXPECT_RAISES(append(dir, "t.txt", mat({{1, 2, 3}})), "array size mismatch", Kex::kWholeCall);
  EXPECT_RAISES(append(dir, "t.txt", mat({{1, 2}}), 17), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_RAISES(append(dir, "t.txt", mat({{1, 2}}), 4, 0), "illegal PRNCOLWIDTH", Kex::kWholeCall);
  EXPECT_EQ(read_file(dir / "t.txt"), "1 2\n3 4\n");
  EXPECT_EQ(raised([&] { append(dir, "http://host/t.txt", mat({{1}})); }).second, Kex::kWholeCall);
  write_file(dir / "empty.txt", "");
  EXPECT_RAISES(append(dir, "empty.txt", mat({{1}})), "file i/o error", Kex::kWholeCall);
  EXPECT_RAISES(append(dir, "no/such/folder/t.txt", mat({{1}})), "file creation error", 1u);
  EXPECT_RAISES(append(dir, "x.txt", mat({{1}}), 0), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_EQ(entries(dir), (std::vector<std::string>{"empty.txt", "t.txt"}));
}

TEST(AppendPrn, KeepsPermissionsOwnerAndLinks) {
  TempDir dir;
  write_file(dir / "t.txt", "1\n");
  ASSERT_EQ(chmod((dir / "t.txt").c_str(), 0640), 0);
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown((dir / "t.txt").c_str(), 65534, 65534), 0);
  }
  append(dir, "t.txt", mat({{2}}));
  struct stat st {};
  ASSERT_EQ(stat((dir / "t.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
  }
  // Through a relative symbolic link into another folder: the link stays and
  // its target gets the table.
  mkdir((dir / "data").c_str(), 0755);
  write_file(dir / "data/target.txt", "1 2\n");
  ASSERT_EQ(symlink("data/target.txt", (dir / "link.txt").c_str()), 0);
  append(dir, "link.txt", mat({{3, 4}}));
  EXPECT_EQ(std::filesystem::read_symlink(dir / "link.txt"), "data/target.txt");
  EXPECT_EQ(rows_of(read_prn(dir, "data/target.txt")), (Rows{{1, 2}, {3, 4}}));
  EXPECT_EQ(entries(dir), (std::vector<std::string>{"data", "link.txt", "t.txt"}));
}

TEST(AppendPrn, FailedWriteKeepsTheOldTable) {
  TempDir dir;
  std::string table;
  for (int i = 0; i < 200; ++i)
    table += std::to_string(i) + " " + std::to_string(i * i) + "\n";
  write_file(dir / "t.txt", table);
  // In a child limited to files of 4 KB (the write fails instead of raising
  // SIGXFSZ), the joined table cannot be written.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    auto r = raised([&] { append(dir, "t.txt", Cvd::MatVal::Zeros(1000, 2)); });
    _exit(r == std::make_pair(std::string("file append error"), Kex::kWholeCall) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "no \"file append error\"";
  EXPECT_EQ(read_file(dir / "t.txt"), table);
  EXPECT_EQ(entries(dir), (std::vector<std::string>{"t.txt"}));
}

}  // namespace
