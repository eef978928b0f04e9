// READBIN and WRITEBIN through the entry class: against file bytes built and
// read here byte by byte, and read back in every element type, byte order
// and a spread of shapes. csketchfile_cvs: separators, where reading stops,
// number forms, limits and messages, each checked on a file written for it.
// LoadColormap and SaveColormap: file bytes, the length-prefix forms of the
// identification string, path rules, messages, and that a failed save leaves
// an existing colormap intact and nothing else behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cfloat>
#include <cmath>
#include <complex>
#include <map>

#include "host/loader.h"
#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace {

namespace fs = std::filesystem;
using namespace kexio_test;
using namespace std::string_literals;
using IO = Kex::IO;
using Ref = Cvd::Ref;
using Points = std::vector<std::complex<double>>;

class BinFiles : public ::testing::Test {
 public:
  Ref read(const std::vector<Ref>& args) const { return Kex::IO::READBIN(dir.cwd(), args); }
  Ref write(const std::string& name, const std::string& type, double endian, const Ref& m) const {
    return Kex::IO::WRITEBIN(dir.cwd(), str(name), str(type), num(endian), m);
  }
  ScratchDir dir;
};

// Rows in row order are the next test's part, signs and byte orders the
// round trip's (whose bytes written are checked below); here a file read
// as big-endian words, by an endian code of which only the real part counts.
TEST_F(BinFiles, OnlyTheRealPartOfTheEndianCodeCounts) {
  write_bytes(dir / "a.bin", le(1, 2) + le(0xFFFE, 2) + le(300, 2) + le(0x8000, 2) + le(0x7FFF, 2));
  EXPECT_EQ(rows_of(read({str("a.bin"), str("uint16"), num(1, 2)})),
            (Rows{{256}, {65279}, {11265}, {128}, {65407}}));
}

TEST_F(BinFiles, SkippedBytesAndRowCounts) {
  write_bytes(dir / "h.bin",
              "\x09\x09\x09" + le(10, 4) + le(20, 4) + le(30, 4) + le(40, 4) + le(50, 4));
  auto rd = [&](double cols, double skip, double rows) {
    return read({str("h.bin"), str("int32"), num(0), num(cols), num(skip), num(rows)});
  };
  EXPECT_EQ(rows_of(rd(2, 3, 0)), (Rows{{10, 20}, {30, 40}}));
  EXPECT_EQ(rows_of(rd(2, 3, 1)), (Rows{{10, 20}}));
  EXPECT_EQ(rows_of(rd(1, 7, 0)), (Rows{{20}, {30}, {40}, {50}}));
  EXPECT_EQ(rows_of(rd(1, 0, 2)), (Rows{{0x0A090909}, {0x14000000}}));
  for (double skip : {22.0, 23.0, 1000.0})
    EXPECT_EQ(rows_of(rd(2, skip, 0)), Rows{}) << skip;
  // Too few elements, or a request too large to hold, is refused before
  // anything is read.
  EXPECT_RAISES(rd(2, 3, 3), "expected 6 elements, file holds 5", 1u);
  EXPECT_RAISES(rd(1, 100, 1), "expected 1 element, file holds 0", 1u);
  EXPECT_RAISES(rd(2147483647, 0, 2147483647),
                "expected 4611686014132420609 elements, file holds 5", 1u);
}

TEST_F(BinFiles, ReadArgumentChecksInOrder) {
  write_bytes(dir / "h.bin", std::string(16, 7));
  auto rd = [&](const char* name, const char* type, Ref endian, Ref cols, Ref skip, Ref rows) {
    return read({str(name), str(type), endian, cols, skip, rows});
  };
  Ref ok0 = num(0), ok1 = num(1), bad = num(-1.5);
  for (const char* t : {"Byte", "BYTE", "int8", "", "double "})
    EXPECT_RAISES(rd("h.bin", t, ok0, ok1, ok0, ok0), "unrecognized value", 2u);
  for (Ref v : {num(0), num(1.5), num(2, 1), num(NAN)})
    EXPECT_RAISES(rd("h.bin", "byte", ok0, v, ok0, ok0), "must be positive integer", 4u);
  for (Ref v : {num(2.5), num(-1), num(1, 1), num(NAN)})
    EXPECT_RAISES(rd("h.bin", "byte", ok0, ok1, ok0, v), "must be positive integer", 6u);
  for (Ref v : {num(-1), num(0.5), num(0, 1)})
    EXPECT_RAISES(rd("h.bin", "byte", ok0, ok1, v, ok0), "must be non-negative integer", 5u);
  for (Ref v : {num(0.5), num(2), num(-1), num(NAN)})
    EXPECT_RAISES(rd("h.bin", "byte", v, ok1, ok0, ok0), "bad value for endian code", 3u);
  EXPECT_RAISES(rd("h.bin", "byte", ok0, num(3e9), ok0, ok0), "integer too large", 4u);
  EXPECT_RAISES(rd("h.bin", "byte", ok0, ok1, num(2147483648.0), ok0), "integer too large", 5u);
  EXPECT_RAISES(rd("h.bin", "byte", ok0, ok1, ok0, num(INFINITY)), "integer too large", 6u);
  // The type first, then the name, rows, cols, skip, endian code, the file.
  EXPECT_RAISES(rd("http://h/x", "int8", bad, bad, bad, bad), "unrecognized value", 2u);
  Raised url = raised([&] { rd("http://h/x", "byte", bad, bad, bad, bad); });
  EXPECT_EQ(url.index, Kex::kWholeCall);
  EXPECT_NE(url.message.find("not supported"), std::string::npos) << url;
  EXPECT_RAISES(rd("h.bin", "byte", bad, bad, bad, bad), "must be positive integer", 6u);
  EXPECT_RAISES(rd("h.bin", "byte", bad, bad, bad, ok0), "must be positive integer", 4u);
  EXPECT_RAISES(rd("h.bin", "byte", bad, ok1, bad, ok0), "must be non-negative integer", 5u);
  EXPECT_RAISES(rd("missing", "byte", bad, ok1, ok0, ok0), "bad value for endian code", 3u);
  EXPECT_RAISES(read({str("missing"), str("byte")}), "file open error", 1u);
  EXPECT_RAISES(read({str("."), str("byte")}), "file open error", 1u);
}

// Writes the values as a column of the type, in both orders, and expects
// these file elements.
void expect_cast(const BinFiles& t, const std::string& type, int size,
                 const std::vector<double>& values, const std::vector<std::uint64_t>& want) {
  auto column = Cvd::MatVal::Zeros(static_cast<std::uint32_t>(values.size()), 1);
  std::string little, big;
  for (std::size_t i = 0; i < values.size(); ++i) {
    column->real()[i] = values[i];
    little += le(want[i], size);
    big += be(want[i], size);
  }
  Ref zero = t.write("c.bin", type, 0, column);
  EXPECT_EQ(dynamic_cast<Cvd::NumVal&>(*zero).Data.rp, 0.0) << type;
  EXPECT_EQ(read_bytes(t.dir / "c.bin"), little) << type;
  t.write("c.bin", type, 1, column);
  EXPECT_EQ(read_bytes(t.dir / "c.bin"), big) << type;
}

TEST_F(BinFiles, WritingRoundsHalvesAwayFromZeroAndSaturates) {
  expect_cast(*this, "int16", 2, {2.5, -2.5, 0.49999999999999994, -0.5, 1e9, -1e9, NAN, -INFINITY},
              {3, 0xFFFD, 0, 0xFFFF, 0x7FFF, 0x8000, 0, 0x8000});
  expect_cast(*this, "byte", 1, {-1, 254.5, 255.4, 1e300, 0.5, NAN, 1.49999},
              {0, 255, 255, 255, 1, 0, 1});
  expect_cast(*this, "sint8", 1, {-128.5, 127.49, -0.4, 3.5, -1e9}, {0x80, 127, 0, 4, 0x80});
  expect_cast(*this, "uint16", 2, {65535.5, -3, 1.5, 40000.49999, NAN}, {65535, 0, 2, 40000, 0});
  expect_cast(*this, "uint32", 4, {4294967295.4, 4294967296.0, -0.6, 2147483648.5, NAN},
              {0xFFFFFFFF, 0xFFFFFFFF, 0, 2147483649u, 0});
  expect_cast(*this, "int32", 4, {2147483647.6, -2147483648.6, -2.5, NAN, 123456.5},
              {0x7FFFFFFF, 0x80000000, 0xFFFFFFFD, 0, 123457});
  // Singles: the nearest one, infinities beyond the range, NaN kept.
  expect_cast(*this, "float", 4, {0.1, 1e300, -1e300, 3.4028234663852886e38, -0.0, NAN},
              {0x3DCCCCCD, 0x7F800000, 0xFF800000, 0x7F7FFFFF, 0x80000000, 0x7FC00000});
  expect_cast(*this, "double", 8, {0.1, -0.0, -INFINITY, 4.9e-324},
              {0x3FB999999999999A, 0x8000000000000000, 0xFFF0000000000000, 1});
}

TEST_F(BinFiles, FailedWritesLeaveTheFileAlone) {
  write_bytes(dir / "keep.bin", "\x01\x02\x03");
  EXPECT_RAISES(write("keep.bin", "int12", 0, mat({{1}})), "unrecognized value", 2u);
  EXPECT_RAISES(write("keep.bin", "byte", 0, with_imag(mat({{1, 2}}), {0, 1})),
                "must be real matrix", 4u);
  EXPECT_RAISES(write("keep.bin", "byte", 2, mat({{1}})), "bad value for endian code", 3u);
  EXPECT_EQ(read_bytes(dir / "keep.bin"), "\x01\x02\x03");
  EXPECT_RAISES(write("no/such/folder/x.bin", "byte", 0, mat({{1}})), "file write error", 1u);
  EXPECT_EQ(raised([&] { write("ftp://h/x.bin", "byte", 0, mat({{1}})); }).index, Kex::kWholeCall);
}

// The extremes of each type: for a floating one the largest, the smallest
// normal and an infinity.
const std::map<std::string, std::vector<double>> kExtremes = {
    {"byte", {0, 255}},
    {"sint8", {-128, 127}},
    {"uint16", {0, 65535}},
    {"int16", {-32768, 32767}},
    {"uint32", {0, 4294967295.0}},
    {"int32", {-2147483648.0, 2147483647}},
    {"float", {FLT_MAX, -FLT_MAX, FLT_MIN, INFINITY}},
    {"double", {DBL_MAX, -DBL_MAX, DBL_MIN, -INFINITY}}};

TEST_F(BinFiles, WhatIsWrittenReadsBackInEveryTypeOrderAndShape) {
  // Rows of up to 8 bytes and wider ones; the long ones take several blocks
  // to read, to widen and to write.
  const std::pair<std::uint32_t, std::uint32_t> shapes[] = {
      {1, 7}, {9, 1}, {37, 70}, {0, 3}, {300001, 1}, {5001, 2}, {2049, 8}, {3001, 3}};
  for (const auto& [type, extremes] : kExtremes) {
    for (double endian : {0.0, 1.0}) {
      for (auto [rows, cols] : shapes) {
        // The extremes, then small integers, which every type holds exactly.
        auto m = Cvd::MatVal::Zeros(rows, cols);
        for (std::size_t i = 0; i < m->size(); ++i)
          m->real()[i] = i < extremes.size() ? extremes[i] : static_cast<double>(i * 7 % 127);
        write("rt.bin", type, endian, m);
        Ref back = read({str("rt.bin"), str(type), num(endian), num(cols)});
        EXPECT_EQ(dynamic_cast<Cvd::MatVal&>(*back).get_Cols(), cols);
        EXPECT_EQ(rows_of(back), rows_of(m)) << type << " " << endian << " " << rows << "x" << cols;
      }
    }
  }
}

// The points read from the file: a complex column.
Points call(const Cvd::Ref& name) {
  Cvd::Ref v = Kex::IO::csketchfile_cvs(name);
  auto* m = dynamic_cast<Cvd::MatVal*>(v.get());
  if (m == nullptr || m->get_Cols() != 1 || !m->get_HasImag()) return {{NAN, NAN}};
  Points p;
  for (std::uint32_t i = 0; i < m->get_Rows(); ++i)
    p.emplace_back(m->real()[i], m->imag()[i]);
  return p;
}

class Sketch : public ::testing::Test {
 protected:
  Points read(const std::string& text) {
    write_bytes(m_dir.path() / "pts.txt", text);
    return call(str(m_dir.path() / "pts.txt"));
  }
  ScratchDir m_dir;
};

TEST_F(Sketch, SeparatorsWhereReadingStopsAndNumberForms) {
  for (const char* text : {"1 2\n3 4\n", "1 2\n3 4", "(1,2)(3,4)", "(1;2)\n(3;4)\n", "1/2 3:4",
                           "\t1\t2\r\n3\t4\r\n", " ( 1 , 2 ) \n ( 3 , 4 ) (", "1,\t,2\n,3\n(\n4)"})
    EXPECT_EQ(read(text), (Points{{1, 2}, {3, 4}})) << text;
  // A lone number is dropped; text ends the reading; an exponent marker
  // without digits is text after the number.
  for (const char* text : {"1 2 3", "1 2 x 3 4", "1 2 - 3 4", "1 2 . 3 4", "1 2e 3 4", "1 2e+ 3 4"})
    EXPECT_EQ(read(text), (Points{{1, 2}})) << text;
  const std::pair<const char*, Points> numbers[] = {
      // "1.2.3" is 1.2 then .3.
      {"1e3 -2.5 .5 5. +7 -0.125 1.5E-3 2e+2",
       {{1000, -2.5}, {0.5, 5}, {7, -0.125}, {0.0015, 200}}},
      {"1.2.3", {{1.2, 0.3}}},
      {"0.1 4.9e-324", {{0.1, 4.9e-324}}},
      // Values above 1e10 become 1e10; there is no lower limit.
      {"2e10 -2e10 1e400 -1e400", {{1e10, -2e10}, {1e10, -INFINITY}}},
      {"INF -Infinity", {{1e10, -INFINITY}}},
  };
  for (const auto& [text, points] : numbers)
    EXPECT_EQ(read(text), points) << text;
  for (const char* text : {"5e 7 8 9", "5 x 7 8", "", " \n(,)\n", "points 1 2", "7"})
    EXPECT_RAISES(read(text), "unknown file format", Kex::kWholeCall) << text;
  EXPECT_RAISES(call(str(m_dir.path() / "missing.txt")), "file open error", Kex::kWholeCall);
  EXPECT_RAISES(call(str(m_dir.path())), "file open error", Kex::kWholeCall);
  Points nan = read("nan(1) 4 -nan 5");
  ASSERT_EQ(nan.size(), 2u);
  EXPECT_TRUE(std::isnan(nan[0].real()) && std::isnan(nan[1].real()));
}

TEST_F(Sketch, CountLimitAndLongRuns) {
  std::string many;
  for (int i = 0; i < 20000; ++i)
    many += std::to_string(i) + " " + std::to_string(-i) + "\n";
  Points p = read(many);
  ASSERT_EQ(p.size(), 16003u);
  EXPECT_EQ(p[12345], std::complex<double>(12345, -12345));
  EXPECT_EQ(p.back(), std::complex<double>(16002, -16002));

  // Long gaps and long numbers read the same however the file is buffered.
  const std::string gap(100000, ' ');
  EXPECT_EQ(read(gap + "123456789" + gap + "2\n"), (Points{{123456789, 2}}));
  EXPECT_EQ(read("1" + std::string(70000, '0') + " 0." + std::string(70000, '0') + "1 3 4"),
            (Points{{1e10, 0}, {3, 4}}));

  // From a stream, more than 64 MiB without a number end the reading.
  const std::string fifo = m_dir / "fifo";
  for (std::size_t mib : {1, 65}) {
    std::thread writer = feed_fifo(fifo, "1 2" + std::string(mib << 20, ' ') + "3 4");
    Points got;
    Raised r = raised([&] { got = call(str(fifo)); });
    writer.join();
    if (mib == 1) {
      EXPECT_EQ(got, (Points{{1, 2}, {3, 4}})) << r;
    } else {
      EXPECT_EQ(r, (Raised{"file i/o error", Kex::kWholeCall}));
    }
  }
}

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
    write_bytes(dir / "in.cmp", b);
    return IO::LoadColormap(str(load_name(dir / "in")));
  }
  Cvd::Ref save(const fs::path& p, const Cvd::Ref& m) { return IO::SaveColormap(str(p), m); }

  ScratchDir dir;
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
  save(dir / "y.dat", mat({{1, 2, 3}, {4, 5, 6}}));
  EXPECT_EQ(read_bytes(dir / "y.dat"), cmap(id(), 2, {0x030201, 0x060504}));
  save(dir / "c", mat({{300, -5, 12.9}, {255.99, 0.99, -0.5}, {INFINITY, -INFINITY, 1e300}}));
  EXPECT_EQ(read_bytes(dir / "c.cmp"), cmap(id(), 3, {0x0C00FF, 0xFF, 0xFF00FF}));

  // The matrix is checked before anything is written.
  const std::string old = cmap(id(), 2, {1, 2});
  write_bytes(dir / "x.cmp", old);
  const std::string few = "must have at least 2 colors", shape = "must be an nx3 matrix";
  EXPECT_RAISES(save(dir / "x", mat({{1, 2, 3}})), few, 2u);
  EXPECT_RAISES(save(dir / "x", mat({{1, 2, 3, 4}})), few, 2u);
  EXPECT_RAISES(save(dir / "x", mat({{1, 2, 3, 4}, {1, 2, 3, 4}})), shape, 2u);
  EXPECT_RAISES(save(dir / "x", mat({{1, 2}, {3, 4}, {5, 6}})), shape, 2u);
  // NaN has no colour value.
  EXPECT_RAISES(save(dir / "x", mat({{1, 2, 3}, {4, 5, NAN}})), "must be real matrix", 2u);
  EXPECT_EQ(read_bytes(dir / "x.cmp"), old);
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
  fs::create_directory(dir / "folder.cmp");
  r = raised([&] { IO::LoadColormap(str(load_name(dir / "folder"))); });
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
  write_bytes(dir / "keep.cmp", old);
  const auto big = Cvd::MatVal::Zeros(1000, 3);
  // The destination's folder is missing, or the destination is a folder.
  fs::create_directory(dir / "folder.cmp");
  EXPECT_RAISES(save(dir / "missing/x", big), "file i/o error", 1u);
  EXPECT_RAISES(save(dir / "folder", big), "file i/o error", 1u);
  fs::remove(dir / "folder.cmp");
  // Room for one more open file: the old one, but not a new one beside it.
  // That is no reason to write over the old file.
  EXPECT_EQ(child_failure([&] {
              rlim_t fd = 0;
              for (int free_seen = 0; free_seen < 2; ++fd)
                free_seen += ::fcntl(static_cast<int>(fd), F_GETFD) == -1;
              rlimit lim{fd - 1, fd - 1};
              ::setrlimit(RLIMIT_NOFILE, &lim);
              Raised r = raised([&] { save(dir / "keep", big); });
              return r == Raised{"file i/o error", 1} ? "" : r.message;
            }),
            "");

  EXPECT_EQ(read_bytes(dir / "keep.cmp"), old);
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"keep.cmp"});
}

}  // namespace
