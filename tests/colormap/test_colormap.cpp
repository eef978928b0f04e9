// LoadColormap and SaveColormap: file bytes, the length-prefix forms of the
// identification string, the path rules, the messages, and the guarantee
// that a failed save leaves an existing colormap intact and no temporary
// file behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "host/loader.h"
#include "kexio/io.h"
#include "support/values.h"

namespace {

namespace fs = std::filesystem;
using namespace kexio_test;
using IO = Kex::IO;
using Ref = Cvd::Ref;
using Bytes = std::vector<unsigned char>;

struct Raised {
  std::string message;
  std::uint32_t index;
};

Raised raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const Kex::Exception& e) {
    return {e.message(), e.index()};
  }
  return {"<nothing raised>", 0};
}

#define EXPECT_RAISES(call, msg, idx)         \
  do {                                        \
    Raised r = raised([&] { (void)(call); }); \
    EXPECT_EQ(r.message, msg) << #call;       \
    EXPECT_EQ(r.index, idx) << #call;         \
  } while (0)

const std::string kId = "Pellmark Colormap";

Bytes file_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void put_file(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void append_u32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// A colormap file: the given string prefix and characters, then the count
// and the colour values.
Bytes cmap(const Bytes& id, std::uint32_t count, const std::vector<std::uint32_t>& colours) {
  Bytes b = id;
  append_u32(b, count);
  for (std::uint32_t c : colours)
    append_u32(b, c);
  return b;
}

Bytes plain_id(const std::string& s = kId) {
  Bytes b(1 + s.size());
  b[0] = static_cast<unsigned char>(s.size());
  std::copy(s.begin(), s.end(), b.begin() + 1);
  return b;
}

fs::path cmaps_dir() {
  return fs::path(kexio::module_dir()) / "cmaps";
}

Cvd::MatVal* as_matrix(const Ref& v) {
  auto* m = dynamic_cast<Cvd::MatVal*>(v.get());
  EXPECT_NE(m, nullptr);
  return m;
}

// The rows of an n x 3 result.
std::vector<std::vector<double>> rows_of(const Ref& v) {
  Cvd::MatVal* m = as_matrix(v);
  std::vector<std::vector<double>> out;
  if (m == nullptr) return out;
  EXPECT_EQ(m->get_Cols(), 3u);
  for (std::uint32_t r = 0; r < m->get_Rows(); ++r) {
    out.push_back({m->get_real(r, 0), m->get_real(r, 1), m->get_real(r, 2)});
  }
  return out;
}

std::u16string u16(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

// Every test works in a fresh folder, with TMPDIR pointing at an empty
// folder of its own so that leftover temporary files can be seen.
class Colormap : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != 0 ? base : "/tmp") + "/kexio-cmap-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
    m_tmp = m_dir / "tmp";
    fs::create_directory(m_tmp);
    m_old_tmpdir = base != nullptr ? std::optional<std::string>(base) : std::nullopt;
    ::setenv("TMPDIR", m_tmp.c_str(), 1);
  }
  void TearDown() override {
    if (m_old_tmpdir) {
      ::setenv("TMPDIR", m_old_tmpdir->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    for (const fs::path& p : m_in_cmaps)
      fs::remove(p);
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  // A name unique to this test process, for files that must go into the
  // real colormap folder; they are removed after the test.
  std::string unique_name(const std::string& stem, const std::string& file_ext = ".cmp") {
    std::string name = "kexio-test-" + stem + "-" + std::to_string(::getpid());
    m_in_cmaps.push_back(cmaps_dir() / (name + file_ext));
    return name;
  }

  // The LoadColormap name that reaches the file p + ".cmp" from the colormap
  // folder (names are used unchanged, so "../" leads out of it).
  static std::string load_name(const fs::path& p) {
    return fs::relative(p, fs::canonical(cmaps_dir())).string();
  }

  // Writes bytes as a colormap file in the test folder and loads it.
  Ref load_bytes(const Bytes& b) {
    put_file(m_dir / "in.cmp", b);
    return IO::LoadColormap(str(load_name(m_dir / "in")));
  }

  bool tmp_is_empty() const { return fs::is_empty(m_tmp); }

  fs::path m_dir;
  fs::path m_tmp;
  std::optional<std::string> m_old_tmpdir;
  std::vector<fs::path> m_in_cmaps;
};

const std::vector<std::vector<double>> kWarm = {{255, 0, 0}, {0, 0, 255}};

TEST_F(Colormap, SaveWritesTheFileAndLoadReadsItBack) {
  const std::string name = unique_name("warm");
  Ref n = IO::SaveColormap(str(name), mat({{255, 0, 0}, {0, 0, 255}}));
  auto* num = dynamic_cast<Cvd::NumVal*>(n.get());
  ASSERT_NE(num, nullptr);
  EXPECT_EQ(num->Data.rp, 2.0);
  EXPECT_EQ(num->Data.ip, 0.0);

  Bytes expected = plain_id();
  append_u32(expected, 2);
  for (unsigned char c : {0xFF, 0, 0, 0, 0, 0, 0xFF, 0})
    expected.push_back(c);
  EXPECT_EQ(expected.size(), 30u);
  EXPECT_EQ(file_bytes(cmaps_dir() / (name + ".cmp")), expected);
  EXPECT_EQ(rows_of(IO::LoadColormap(str(name))), kWarm);
  EXPECT_TRUE(tmp_is_empty());
}

TEST_F(Colormap, ValuesAreClampedAndTruncated) {
  const double inf = INFINITY;
  auto m = mat({{300, -5, 12.9}, {255.99, 0.99, -0.5}, {inf, -inf, 1e300}, {128, 64, 32}});
  ASSERT_NO_THROW(IO::SaveColormap(str((m_dir / "c").string()), m));
  EXPECT_EQ(file_bytes(m_dir / "c.cmp"),
            cmap(plain_id(), 4, {0x000C00FF, 0x000000FF, 0x00FF00FF, 0x00204080}));
  EXPECT_EQ(
      rows_of(IO::LoadColormap(str(load_name(m_dir / "c")))),
      (std::vector<std::vector<double>>{{255, 0, 12}, {255, 0, 0}, {255, 0, 255}, {128, 64, 32}}));
}

TEST_F(Colormap, SaveRefusesBadMatricesBeforeWritingAnything) {
  const std::string path = (m_dir / "x").string();
  EXPECT_RAISES(IO::SaveColormap(num(1), mat({{1, 2, 3}, {4, 5, 6}})), "must be string", 1u);
  EXPECT_RAISES(IO::SaveColormap(str(path), num(1)), "must be real matrix", 2u);
  EXPECT_RAISES(IO::SaveColormap(str(path), str("red")), "must be real matrix", 2u);
  auto complex = mat({{1, 2, 3}, {4, 5, 6}});
  complex->m_iarr = Cvd::NewArray(6);
  for (int i = 0; i < 6; ++i)
    complex->m_iarr[i] = i == 4 ? 1.0 : 0.0;
  EXPECT_RAISES(IO::SaveColormap(str(path), complex), "must be real matrix", 2u);

  EXPECT_RAISES(IO::SaveColormap(str(path), mat({{1, 2, 3}})), "must have at least 2 colors", 2u);
  EXPECT_RAISES(IO::SaveColormap(str(path), mat({{1, 2, 3, 4}, {1, 2, 3, 4}})),
                "must be an nx3 matrix", 2u);
  EXPECT_RAISES(IO::SaveColormap(str(path), mat({{1, 2, 3, 4}})), "must have at least 2 colors",
                2u);
  EXPECT_RAISES(IO::SaveColormap(str(path), mat({{1, 2}, {3, 4}, {5, 6}})), "must be an nx3 matrix",
                2u);
  EXPECT_FALSE(fs::exists(m_dir / "x.cmp"));

  // A NaN anywhere has no colour value; an existing file stays as it was.
  const Bytes old = cmap(plain_id(), 2, {1, 2});
  put_file(m_dir / "x.cmp", old);
  EXPECT_RAISES(IO::SaveColormap(str(path), mat({{1, 2, 3}, {4, 5, NAN}})), "must be real matrix",
                2u);
  EXPECT_RAISES(IO::SaveColormap(str(path), mat({{NAN, 2, 3}, {4, 5, 6}})), "must be real matrix",
                2u);
  EXPECT_EQ(file_bytes(m_dir / "x.cmp"), old);
  EXPECT_TRUE(tmp_is_empty());

  // An imaginary part that is all zeros still makes a real matrix.
  auto zero_im = mat({{1, 2, 3}, {4, 5, 6}});
  zero_im->m_iarr = Cvd::NewArray(6);
  for (int i = 0; i < 6; ++i)
    zero_im->m_iarr[i] = 0.0;
  EXPECT_NO_THROW(IO::SaveColormap(str(path), zero_im));
  EXPECT_EQ(file_bytes(m_dir / "x.cmp"), cmap(plain_id(), 2, {0x030201, 0x060504}));
}

TEST_F(Colormap, SavePathRules) {
  const auto m = mat({{1, 2, 3}, {4, 5, 6}});
  const Bytes expected = cmap(plain_id(), 2, {0x030201, 0x060504});

  // A name with a folder is a path of its own; ".cmp" only when there is no
  // extension.
  IO::SaveColormap(str((m_dir / "x").string()), m);
  IO::SaveColormap(str((m_dir / "y.dat").string()), m);
  IO::SaveColormap(str((m_dir / "z.").string()), m);
  EXPECT_EQ(file_bytes(m_dir / "x.cmp"), expected);
  EXPECT_EQ(file_bytes(m_dir / "y.dat"), expected);
  EXPECT_EQ(file_bytes(m_dir / "z."), expected);
  EXPECT_FALSE(fs::exists(m_dir / "y.dat.cmp"));

  // A relative path is taken from the process's current folder.
  fs::create_directory(m_dir / "sub");
  const fs::path here = fs::current_path();
  fs::current_path(m_dir);
  Raised r = raised([&] { IO::SaveColormap(str("sub/rel"), m); });
  fs::current_path(here);
  EXPECT_EQ(r.message, "<nothing raised>");
  EXPECT_EQ(file_bytes(m_dir / "sub" / "rel.cmp"), expected);

  // Latin-1 names become UTF-8 paths.
  IO::SaveColormap(str(u16((m_dir).string()) + u"/caf\u00e9"), m);
  EXPECT_EQ(file_bytes(m_dir / "caf\xc3\xa9.cmp"), expected);

  // Bare names go into the colormap folder; one with an extension keeps it.
  const std::string bare = unique_name("bare");
  const std::string dotted = unique_name("dotted", ".pal");
  IO::SaveColormap(str(bare), m);
  IO::SaveColormap(str(dotted + ".pal"), m);
  EXPECT_EQ(file_bytes(cmaps_dir() / (bare + ".cmp")), expected);
  EXPECT_EQ(file_bytes(cmaps_dir() / (dotted + ".pal")), expected);
  EXPECT_TRUE(tmp_is_empty());
}

TEST_F(Colormap, ReplacingKeepsModeAndFollowsLinks) {
  const auto m = mat({{9, 9, 9}, {8, 8, 8}});
  put_file(m_dir / "old.cmp", cmap(plain_id(), 2, {0, 0}));
  fs::permissions(m_dir / "old.cmp", fs::perms(0640));
  fs::create_symlink(m_dir / "old.cmp", m_dir / "link.cmp");

  IO::SaveColormap(str((m_dir / "link").string()), m);
  EXPECT_TRUE(fs::is_symlink(m_dir / "link.cmp"));
  EXPECT_EQ(file_bytes(m_dir / "old.cmp"), cmap(plain_id(), 2, {0x090909, 0x080808}));
  EXPECT_EQ(fs::status(m_dir / "old.cmp").permissions() & fs::perms::all, fs::perms(0640));
  // Nothing but the two names is left in the folder.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(m_dir))
    ++entries;
  EXPECT_EQ(entries, 3u);  // old.cmp, link.cmp, tmp/
}

TEST_F(Colormap, LoadAcceptsEveryStringPrefixForm) {
  const std::vector<std::uint32_t> colours = {0x00332211, 0xAA665544};
  auto wide = [](const std::string& s) {
    Bytes b;
    for (char c : s) {
      b.push_back(static_cast<unsigned char>(c));
      b.push_back(0);
    }
    return b;
  };
  auto join = [](Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Bytes chars(kId.begin(), kId.end());
  const std::vector<Bytes> prefixes = {
      join({0x11}, chars),
      join({0xFF, 0x11, 0x00}, chars),
      join({0xFF, 0xFF, 0xFF, 0x11, 0, 0, 0}, chars),
      join({0xFF, 0xFE, 0xFF, 0x11}, wide(kId)),
      join({0xFF, 0xFE, 0xFF, 0xFF, 0x11, 0x00}, wide(kId)),
      join({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x11, 0, 0, 0}, wide(kId)),
  };
  const std::vector<std::vector<double>> expected = {{0x11, 0x22, 0x33}, {0x44, 0x55, 0x66}};
  for (std::size_t k = 0; k < prefixes.size(); ++k) {
    Bytes file = cmap(prefixes[k], 2, colours);
    EXPECT_EQ(rows_of(load_bytes(file)), expected) << "prefix form " << k;
    // Whatever follows the last colour is ignored.
    file.insert(file.end(), {1, 2, 3, 4, 5});
    EXPECT_EQ(rows_of(load_bytes(file)), expected);
  }

  // Counts 0 and 1.
  EXPECT_EQ(as_matrix(load_bytes(cmap(plain_id(), 0, {})))->get_Rows(), 0u);
  EXPECT_EQ(rows_of(load_bytes(cmap(plain_id(), 1, {0x00030201}))),
            (std::vector<std::vector<double>>{{1, 2, 3}}));
}

TEST_F(Colormap, LoadRefusesOtherIdentifications) {
  const std::vector<Bytes> ids = {
      plain_id("pellmark Colormap"),
      plain_id("Pellmark Colormaps"),
      plain_id("Pellmark Colorma"),
      plain_id(""),
      // 'P' as the 2-byte character U+0150: its low byte is 'P' but it is
      // not the letter.
      {0xFF, 0xFE, 0xFF, 0x11, 0x50, 0x01, 'e', 0, 'l', 0, 'l', 0, 'm', 0, 'a', 0, 'r', 0, 'k', 0,
       ' ',  0,    'C',  0,    'o',  0,    'l', 0, 'o', 0, 'r', 0, 'm', 0, 'a', 0, 'p', 0},
  };
  for (const Bytes& id : ids) {
    EXPECT_RAISES(load_bytes(cmap(id, 2, {1, 2})), "bad colormap matrix", 1u);
  }
  EXPECT_RAISES(load_bytes(cmap(plain_id(), 0xFFFFFFFF, {1, 2})), "bad colormap matrix", 1u);
  EXPECT_RAISES(load_bytes(cmap(plain_id(), 0x80000000, {})), "bad colormap matrix", 1u);
}

TEST_F(Colormap, LoadReportsShortAndMissingFiles) {
  auto expect_end_of_file = [&](const Bytes& b, const char* what) {
    Raised r = raised([&] { load_bytes(b); });
    EXPECT_NE(r.message.find("end of file"), std::string::npos) << what << ": " << r.message;
    EXPECT_EQ(r.index, 1u) << what;
  };
  expect_end_of_file(cmap(plain_id(), 5, {1, 2, 3}), "count 5, three colours");
  expect_end_of_file(cmap(plain_id(), 0x7FFFFFFF, {1}), "huge count");
  expect_end_of_file(Bytes{0x11, 'P', 'e', 'l'}, "cut in the string");
  expect_end_of_file(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'P'}, "huge string length");
  expect_end_of_file(Bytes{0xFF, 0xFE}, "cut in the prefix");
  expect_end_of_file(Bytes{}, "empty file");
  Bytes cut_count = plain_id();
  cut_count.insert(cut_count.end(), {2, 0});
  expect_end_of_file(cut_count, "cut in the count");

  Raised r = raised([&] { IO::LoadColormap(str("no-such-colormap-here")); });
  EXPECT_EQ(r.index, 1u);
  EXPECT_NE(r.message.find("No such file or directory"), std::string::npos) << r.message;
  EXPECT_NE(r.message.find("no-such-colormap-here.cmp"), std::string::npos) << r.message;

  fs::create_directory(m_dir / "folder.cmp");
  r = raised([&] { IO::LoadColormap(str(load_name(m_dir / "folder"))); });
  EXPECT_EQ(r.index, 1u);
  EXPECT_NE(r.message.find("Is a directory"), std::string::npos) << r.message;

  // Long texts are cut to 255 bytes, never inside a UTF-8 sequence.
  r = raised([&] { IO::LoadColormap(str(std::string(300, '\xe9'))); });
  EXPECT_EQ(r.index, 1u);
  EXPECT_LE(r.message.size(), 255u);
  EXPECT_GE(r.message.size(), 250u);
  std::size_t i = r.message.size();
  while (i > 0 && (static_cast<unsigned char>(r.message[i - 1]) & 0xC0) == 0x80)
    --i;
  ASSERT_GT(i, 0u);
  const auto lead = static_cast<unsigned char>(r.message[i - 1]);
  const std::size_t need = lead < 0x80 ? 1 : lead >= 0xE0 ? 3 : 2;
  EXPECT_EQ(r.message.size() - (i - 1), need) << "the text ends inside a UTF-8 sequence";
}

TEST_F(Colormap, ShippedColormapsLoad) {
  auto grey = rows_of(IO::LoadColormap(str("grey")));
  ASSERT_EQ(grey.size(), 256u);
  for (std::size_t i = 0; i < 256; ++i) {
    EXPECT_EQ(grey[i], (std::vector<double>(3, static_cast<double>(i))));
  }
  std::size_t shipped = 0;
  for (const auto& e : fs::directory_iterator(fs::path(KEXIO_SOURCE_DIR) / "cmaps")) {
    if (e.path().extension() != ".cmp") continue;
    ++shipped;
    Ref m = IO::LoadColormap(str(e.path().stem().string()));
    EXPECT_EQ(as_matrix(m)->get_Rows(), 256u) << e.path();
    // The copy beside the library is the one in the source tree.
    EXPECT_EQ(file_bytes(cmaps_dir() / e.path().filename()), file_bytes(e.path())) << e.path();
  }
  EXPECT_GE(shipped, 5u);
}

// Failures while saving. Each leaves the existing file as it was and no
// temporary file behind.
class SaveFailure : public Colormap {
 protected:
  void SetUp() override {
    Colormap::SetUp();
    m_old = cmap(plain_id(), 2, {0x010101, 0x020202});
    put_file(m_dir / "keep.cmp", m_old);
  }
  void expect_intact() {
    EXPECT_EQ(file_bytes(m_dir / "keep.cmp"), m_old);
    EXPECT_TRUE(tmp_is_empty());
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(m_dir))
      names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"keep.cmp", "tmp"}));
  }

  // Saves a 1000-colour map over keep.cmp in a child process after prepare()
  // has set its limits; returns what was raised.
  Raised save_in_child(const std::function<void()>& prepare) {
    int pipefd[2];
    EXPECT_EQ(::pipe(pipefd), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pipefd[0]);
      prepare();
      Raised r = raised([&] { IO::SaveColormap(str((m_dir / "keep").string()), big()); });
      std::string out = std::to_string(r.index) + "\n" + r.message;
      if (::write(pipefd[1], out.data(), out.size()) < 0) ::_exit(2);
      ::_exit(0);
    }
    ::close(pipefd[1]);
    std::string got;
    char buf[512];
    for (ssize_t n; (n = ::read(pipefd[0], buf, sizeof buf)) > 0;)
      got.append(buf, n);
    ::close(pipefd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    std::size_t nl = got.find('\n');
    if (nl == std::string::npos) return {"<no answer from the child>", 0};
    return {got.substr(nl + 1), static_cast<std::uint32_t>(std::stoul(got.substr(0, nl)))};
  }

  static Ref big() {
    auto m = Cvd::MatVal::Zeros(1000, 3);
    for (std::size_t i = 0; i < 3000; ++i)
      m->real()[i] = static_cast<double>(i % 256);
    return m;
  }

  Bytes m_old;
};

TEST_F(SaveFailure, NoTemporaryFolder) {
  ::setenv("TMPDIR", (m_dir / "missing").c_str(), 1);
  EXPECT_RAISES(IO::SaveColormap(str((m_dir / "keep").string()), big()),
                "failed to create temporary file", 2u);
  expect_intact();
}

TEST_F(SaveFailure, DestinationCannotBeWritten) {
  EXPECT_RAISES(IO::SaveColormap(str((m_dir / "missing" / "x").string()), big()), "file i/o error",
                1u);
  fs::create_directory(m_dir / "dir.cmp");
  EXPECT_RAISES(IO::SaveColormap(str((m_dir / "dir").string()), big()), "file i/o error", 1u);
  EXPECT_TRUE(fs::is_directory(m_dir / "dir.cmp"));
  fs::remove(m_dir / "dir.cmp");
  expect_intact();
}

TEST_F(SaveFailure, WritingTheTemporaryFileFails) {
  // A file size limit of 100 bytes stops the 4022-byte file part way.
  Raised r = save_in_child([] {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{100, 100};
    ::setrlimit(RLIMIT_FSIZE, &lim);
  });
  EXPECT_EQ(r.index, 1u);
  EXPECT_NE(r.message.find("File too large"), std::string::npos) << r.message;
  expect_intact();
}

TEST_F(SaveFailure, CopyingIntoPlaceFails) {
  // Leave room for exactly one more open file: the temporary file can be
  // made, but copying it needs two at once.
  Raised r = save_in_child([] {
    int free_seen = 0;
    rlim_t limit = 0;
    for (int fd = 0; fd < 4096; ++fd) {
      if (::fcntl(fd, F_GETFD) != -1) continue;
      if (++free_seen == 2) {
        limit = static_cast<rlim_t>(fd);
        break;
      }
    }
    rlimit lim{limit, limit};
    ::setrlimit(RLIMIT_NOFILE, &lim);
  });
  EXPECT_EQ(r.message, "file i/o error");
  EXPECT_EQ(r.index, 1u);
  expect_intact();
}

}  // namespace
