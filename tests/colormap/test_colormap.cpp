// LoadColormap and SaveColormap: file bytes, the length-prefix forms of the
// identification string, path rules, messages, and that a failed save leaves
// an existing colormap intact and nothing else behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>

#include "host/loader.h"
#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace {

namespace fs = std::filesystem;
using namespace kexio_test;
using IO = Kex::IO;
using namespace std::string_literals;

const std::string kId = "Pellmark Colormap";

std::string id(const std::string& s = kId) {
  return static_cast<char>(s.size()) + s;
}
std::string cmap(const std::string& id, std::uint32_t n, const std::vector<std::uint32_t>& cs) {
  std::string b = id + le(n, 4);
  for (std::uint32_t c : cs)
    b += le(c, 4);
  return b;
}

fs::path cmaps_dir() {
  return fs::canonical(fs::path(kexio::module_dir()) / "cmaps");
}

// Each test gets a scratch folder. Files that must go into the real colormap
// folder get per-process names and are removed afterwards.
class Colormap : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const fs::path& p : m_in_cmaps)
      fs::remove(p);
  }
  std::string in_cmaps(const std::string& stem, const std::string& ext) {
    std::string name = "kexio-test-" + stem + "-" + std::to_string(::getpid());
    m_in_cmaps.push_back(cmaps_dir() / (name + ext));
    return name;
  }
  // The LoadColormap name of p + ".cmp": names are used unchanged, so "../"
  // leads out of the colormap folder.
  static std::string load_name(const fs::path& p) { return fs::relative(p, cmaps_dir()); }
  Cvd::Ref load_bytes(const std::string& b) {
    write_bytes(dir() / "in.cmp", b);
    return IO::LoadColormap(str(load_name(dir() / "in")));
  }
  Cvd::Ref save(const fs::path& p, const Cvd::Ref& m) { return IO::SaveColormap(str(p), m); }
  const fs::path& dir() const { return m_scratch.path(); }

  ScratchDir m_scratch;
  std::vector<fs::path> m_in_cmaps;
};

TEST_F(Colormap, SaveWritesTheFileBytesAndLoadReadsThemBack) {
  const std::string name = in_cmaps("warm", ".cmp");
  Cvd::Ref n = IO::SaveColormap(str(name), mat({{255, 0, 0}, {0, 0, 255}}));
  EXPECT_EQ(static_cast<Cvd::NumVal*>(n.get())->Data.rp, 2.0);
  EXPECT_EQ(read_bytes(cmaps_dir() / (name + ".cmp")), cmap(id(), 2, {0xFF, 0xFF0000}));
  EXPECT_EQ(rows_of(IO::LoadColormap(str(name))), (Rows{{255, 0, 0}, {0, 0, 255}}));

  // A bare name with an extension keeps it; a name with a folder is a path of
  // its own, which gets ".cmp" only without extension. Each value is clamped
  // to 0..255, then truncated.
  const std::string pal = in_cmaps("pal", ".pal");
  IO::SaveColormap(str(pal + ".pal"), mat({{255, 0, 0}, {0, 0, 255}}));
  EXPECT_EQ(read_bytes(cmaps_dir() / (pal + ".pal")), cmap(id(), 2, {0xFF, 0xFF0000}));
  save(dir() / "y.dat", mat({{1, 2, 3}, {4, 5, 6}}));
  EXPECT_EQ(read_bytes(dir() / "y.dat"), cmap(id(), 2, {0x030201, 0x060504}));
  save(dir() / "c", mat({{300, -5, 12.9}, {255.99, 0.99, -0.5}, {INFINITY, -INFINITY, 1e300}}));
  EXPECT_EQ(read_bytes(dir() / "c.cmp"), cmap(id(), 3, {0x0C00FF, 0xFF, 0xFF00FF}));

  // The matrix is checked before anything is written.
  const std::string old = cmap(id(), 2, {1, 2});
  write_bytes(dir() / "x.cmp", old);
  const std::string few = "must have at least 2 colors", shape = "must be an nx3 matrix";
  EXPECT_RAISES(save(dir() / "x", mat({{1, 2, 3}})), few, 2u);
  EXPECT_RAISES(save(dir() / "x", mat({{1, 2, 3, 4}})), few, 2u);
  EXPECT_RAISES(save(dir() / "x", mat({{1, 2, 3, 4}, {1, 2, 3, 4}})), shape, 2u);
  EXPECT_RAISES(save(dir() / "x", mat({{1, 2}, {3, 4}, {5, 6}})), shape, 2u);
  // NaN has no colour value.
  EXPECT_RAISES(save(dir() / "x", mat({{1, 2, 3}, {4, 5, NAN}})), "must be real matrix", 2u);
  EXPECT_EQ(read_bytes(dir() / "x.cmp"), old);
}

TEST_F(Colormap, LoadAcceptsEveryPrefixFormAndIgnoresTrailingBytes) {
  std::string wide;
  for (char c : kId)
    wide += std::string{c, 0};
  for (const std::string& f :
       {"\x11" + kId, "\xFF\x11\x00"s + kId, "\xFF\xFF\xFF\x11\x00\x00\x00"s + kId,
        "\xFF\xFE\xFF\x11"s + wide, "\xFF\xFE\xFF\xFF\x11\x00"s + wide,
        "\xFF\xFE\xFF\xFF\xFF\xFF\x11\x00\x00\x00"s + wide}) {
    // Byte 3 of a colour is ignored.
    EXPECT_EQ(rows_of(load_bytes(cmap(f, 2, {0x332211, 0xAA665544}) + "tail")),
              (Rows{{0x11, 0x22, 0x33}, {0x44, 0x55, 0x66}}))
        << f.size();
  }
  Cvd::Ref none = load_bytes(cmap(id(), 0, {}));
  EXPECT_TRUE(rows_of(none).empty() && static_cast<Cvd::MatVal*>(none.get())->get_Cols() == 3);
  EXPECT_EQ(rows_of(load_bytes(cmap(id(), 1, {0x030201}))), (Rows{{1, 2, 3}}));

  for (const std::string& other : {id("pellmark Colormap"), id("Pellmark Colormaps"), id(""),
                                   // U+0150 has the low byte of 'P' but is not 'P'.
                                   "\xFF\xFE\xFF\x11\x50\x01"s + wide.substr(2)}) {
    EXPECT_RAISES(load_bytes(cmap(other, 2, {1, 2})), "bad colormap matrix", 1u) << other;
  }
  EXPECT_RAISES(load_bytes(cmap(id(), 0xFFFFFFFF, {1, 2})), "bad colormap matrix", 1u);
}

TEST_F(Colormap, LoadReportsShortMissingAndUnreadableFiles) {
  for (const std::string& b :
       {cmap(id(), 5, {1, 2, 3}), cmap(id(), 0x7FFFFFFF, {1}), "\x11Pel"s,
        "\xFF\xFF\xFF\xFF\xFF\xFF\x7FP"s, "\xFF\xFE"s, ""s, id() + "\x02\x00"s}) {
    Raised r = raised([&] { load_bytes(b); });
    EXPECT_NE(r.message.find("unexpected end of file"), std::string::npos) << r;
    EXPECT_EQ(r.index, 1u);
  }
  Raised r = raised([&] { IO::LoadColormap(str("no-such-map")); });
  EXPECT_NE(r.message.find("no-such-map.cmp': No such file or directory"), std::string::npos) << r;
  fs::create_directory(dir() / "folder.cmp");
  r = raised([&] { IO::LoadColormap(str(load_name(dir() / "folder"))); });
  EXPECT_NE(r.message.find("Is a directory"), std::string::npos) << r;

  // Long texts are cut to 255 bytes, never inside a UTF-8 sequence.
  r = raised([&] { IO::LoadColormap(str(std::string(300, '\xe9'))); });
  EXPECT_EQ(r.index, 1u);
  EXPECT_TRUE(r.message.size() == 255 || r.message.size() == 254) << r.message.size();
  EXPECT_EQ(r.message.substr(r.message.size() - 2), "\xc3\xa9");
}

TEST_F(Colormap, ShippedColormapsLoadFromBesideTheLibrary) {
  Rows grey = rows_of(IO::LoadColormap(str("grey")));
  ASSERT_EQ(grey.size(), 256u);
  for (std::size_t i = 0; i < 256; ++i)
    EXPECT_EQ(grey[i], std::vector<double>(3, i));
  int shipped = 0;
  for (const auto& e : fs::directory_iterator(fs::path(KEXIO_SOURCE_DIR) / "cmaps")) {
    if (e.path().extension() != ".cmp") continue;
    ++shipped;
    EXPECT_EQ(rows_of(IO::LoadColormap(str(e.path().stem()))).size(), 256u) << e.path();
  }
  EXPECT_GE(shipped, 10);
}

TEST_F(Colormap, FailedSavesLeaveTheOldFileAlone) {
  const std::string old = cmap(id(), 2, {1, 2});
  write_bytes(dir() / "keep.cmp", old);
  const auto big = Cvd::MatVal::Zeros(1000, 3);
  // The destination's folder is missing, or the destination is a folder.
  fs::create_directory(dir() / "folder.cmp");
  EXPECT_RAISES(save(dir() / "missing/x", big), "file i/o error", 1u);
  EXPECT_RAISES(save(dir() / "folder", big), "file i/o error", 1u);
  fs::remove(dir() / "folder.cmp");
  // Room for one more open file: the old one, but not a new one beside it.
  // That is no reason to write over the old file.
  EXPECT_EQ(child_failure([&] {
              rlim_t fd = 0;
              for (int free_seen = 0; free_seen < 2; ++fd)
                free_seen += ::fcntl(static_cast<int>(fd), F_GETFD) == -1;
              rlimit lim{fd - 1, fd - 1};
              ::setrlimit(RLIMIT_NOFILE, &lim);
              Raised r = raised([&] { save(dir() / "keep", big); });
              return r == Raised{"file i/o error", 1} ? "" : r.message;
            }),
            "");

  EXPECT_EQ(read_bytes(dir() / "keep.cmp"), old);
  EXPECT_EQ(entries(dir()), std::vector<std::string>{"keep.cmp"});
}

}  // namespace
