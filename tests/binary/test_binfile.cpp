// READBIN and WRITEBIN through the entry class: against file bytes built and
// read here byte by byte, and read back in every element type, byte order
// and a spread of shapes. csketchfile_cvs: separators, where reading stops,
// number forms, limits and messages, each checked on a file written for it.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <complex>
#include <map>

#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace {

using namespace kexio_test;
using Ref = Cvd::Ref;
using Points = std::vector<std::complex<double>>;

class BinFiles : public ::testing::Test {
 public:
  Ref read(const std::vector<Ref>& args) const { return Kex::IO::READBIN(dir.cwd(), args); }
  Ref write(const std::string& name, const std::string& type, double endian, const Ref& m) const {
    return Kex::IO::WRITEBIN(dir.cwd(), str(name), str(type), num(endian), m);
  }
  std::string get(const std::string& name) const { return read_bytes(dir / name); }
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
  EXPECT_EQ(t.get("c.bin"), little) << type;
  t.write("c.bin", type, 1, column);
  EXPECT_EQ(t.get("c.bin"), big) << type;
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
  EXPECT_EQ(get("keep.bin"), "\x01\x02\x03");
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

}  // namespace
