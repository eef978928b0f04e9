// APPENDPRN: rows joined below the table in the file, the checks, and the
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

// The bytes WRITEPRN gives for a matrix, to compare a file with.
std::string written(const TempDir& dir, const Ref& m, int precision = 4, int width = 8) {
  IO::WRITEPRN(dir.cwd(), precision, width, str("expected.out"), m);
  return read_file(dir / "expected.out");
}

std::vector<std::string> folder_entries(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AppendPrn, JoinsRowsBelowTheTable) {
  TempDir dir;
  // A missing file is created with the new rows alone.
  Ref r = append(dir, "t.txt", mat({{1, 2}, {3, 4}}));
  EXPECT_EQ(rows_of(r), (Rows{{1, 2}, {3, 4}}));
  Ref r2 = append(dir, "t.txt", mat({{5, 6}}), 3, 6);
  EXPECT_EQ(rows_of(r2), (Rows{{1, 2}, {3, 4}, {5, 6}}));
  // The whole table is written again with the settings of this call.
  EXPECT_EQ(read_file(dir / "t.txt"), written(dir, r2, 3, 6));

  // A table written by hand, with a comment and a header, comes back as
  // numbers only.
  write_file(dir / "hand.txt", "// measured\ntime volts\n0.5 1e3\n1.5,2e3\n");
  Ref r3 = append(dir, "hand.txt", mat({{2.5, 3e3}}));
  EXPECT_EQ(rows_of(r3), (Rows{{0.5, 1000}, {1.5, 2000}, {2.5, 3000}}));
  EXPECT_EQ(read_file(dir / "hand.txt"), written(dir, r3));

  if (dir.path().find('.') == std::string::npos) {
    append(dir, "plain", mat({{9}}));
    EXPECT_EQ(read_file(dir / "plain.prn"), "       9\n");
  }
}

TEST(AppendPrn, NestedTablesAndComplexRows) {
  TempDir dir;
  auto z = mat({{1, 2}});
  z->m_iarr = Cvd::NewArray(2);
  z->m_iarr[0] = 0;
  z->m_iarr[1] = -1;
  // Complex rows below a plain table turn the file into the nested format.
  append(dir, "z.txt", mat({{7, 8}}));
  Ref r = append(dir, "z.txt", z);
  ASSERT_TRUE(as_mat(r)->get_HasImag());
  EXPECT_EQ(rows_of(r), (Rows{{7, 8}, {1, 2}}));
  Ref back = read_prn(dir, "z.txt");
  EXPECT_EQ(rows_of(back), (Rows{{7, 8}, {1, 2}}));
  EXPECT_EQ(as_mat(back)->imag()[3], -1);
  // Real rows below a nested table.
  Ref r2 = append(dir, "z.txt", mat({{3, 4}}));
  EXPECT_EQ(rows_of(r2), (Rows{{7, 8}, {1, 2}, {3, 4}}));
  EXPECT_EQ(as_mat(read_prn(dir, "z.txt"))->imag()[4], -1);
}

TEST(AppendPrn, RefusalsLeaveTheFileAlone) {
  TempDir dir;
  append(dir, "t.txt", mat({{1, 2}, {3, 4}}));
  std::string before = read_file(dir / "t.txt");
  EXPECT_RAISES(append(dir, "t.txt", mat({{1, 2, 3}})), "array size mismatch", Kex::kWholeCall);
  EXPECT_RAISES(append(dir, "t.txt", mat({{1, 2}}), 17), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_RAISES(append(dir, "t.txt", mat({{1, 2}}), 4, 0), "illegal PRNCOLWIDTH", Kex::kWholeCall);
  EXPECT_EQ(read_file(dir / "t.txt"), before);
  // The resolver's refusal belongs to the whole call here.
  Raised url = raised([&] { append(dir, "http://host/t.txt", mat({{1}})); });
  EXPECT_EQ(url.index, Kex::kWholeCall);
  EXPECT_NE(url.message.find("http"), std::string::npos);
  // The existing file must be a readable table.
  write_file(dir / "empty.txt", "");
  EXPECT_RAISES(append(dir, "empty.txt", mat({{1}})), "file i/o error", Kex::kWholeCall);
  EXPECT_EQ(read_file(dir / "empty.txt"), "");
  write_file(dir / "words.txt", "only words\n");
  EXPECT_RAISES(append(dir, "words.txt", mat({{1}})), "file i/o error", Kex::kWholeCall);
  EXPECT_RAISES(append(dir, "no/such/folder/t.txt", mat({{1}})), "file creation error", 1u);
  EXPECT_FALSE(std::filesystem::exists(dir / "x.txt"));
  EXPECT_RAISES(append(dir, "x.txt", mat({{1}}), 0), "illegal PRNPRECISION", Kex::kWholeCall);
  EXPECT_FALSE(std::filesystem::exists(dir / "x.txt"));
  EXPECT_EQ(folder_entries(dir), (std::vector<std::string>{"empty.txt", "t.txt", "words.txt"}));
}

TEST(AppendPrn, KeepsPermissionsOwnerAndLinks) {
  TempDir dir;
  append(dir, "t.txt", mat({{1}}));
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
  EXPECT_EQ(rows_of(read_prn(dir, "t.txt")), (Rows{{1}, {2}}));

  // Through a symbolic link (relative, into another folder): the link stays
  // and its target gets the table.
  mkdir((dir / "data").c_str(), 0755);
  write_file(dir / "data/target.txt", "1 2\n");
  ASSERT_EQ(symlink("data/target.txt", (dir / "link.txt").c_str()), 0);
  append(dir, "link.txt", mat({{3, 4}}));
  ASSERT_EQ(lstat((dir / "link.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(std::filesystem::read_symlink(dir / "link.txt"), "data/target.txt");
  EXPECT_EQ(rows_of(read_prn(dir, "data/target.txt")), (Rows{{1, 2}, {3, 4}}));
  EXPECT_EQ(folder_entries(dir), (std::vector<std::string>{"data", "link.txt", "t.txt"}));
}

TEST(AppendPrn, FailedWriteKeepsTheOldTable) {
  TempDir dir;
  std::string table;
  for (int i = 0; i < 200; ++i)
    table += std::to_string(i) + " " + std::to_string(i * i) + "\n";
  write_file(dir / "t.txt", table);
  auto rows = Cvd::MatVal::Zeros(1000, 2);
  // In a child limited to files of 4 KB, appending 1000 rows cannot be
  // written (the write fails instead of raising SIGXFSZ).
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    Raised r = raised([&] { append(dir, "t.txt", rows); });
    _exit(r.message == "file append error" && r.index == Kex::kWholeCall ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child did not see \"file append error\"";
  EXPECT_EQ(read_file(dir / "t.txt"), table);
  EXPECT_EQ(folder_entries(dir), (std::vector<std::string>{"t.txt"}));
}

}  // namespace
