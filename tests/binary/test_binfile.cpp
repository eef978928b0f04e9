// READBIN and WRITEBIN through the entry class, checked against file bytes
// built and read here byte by byte.
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "binary/binfile_fixture.h"

namespace {

using namespace kexio_test;
using Ref = Cvd::Ref;

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

// v in n bytes, least significant first.
Bytes le(std::uint64_t v, int n) {
  Bytes b;
  for (int i = 0; i < n; ++i)
    b.push_back(static_cast<unsigned char>(v >> (8 * i)));
  return b;
}
Bytes be(std::uint64_t v, int n) {
  Bytes b = le(v, n);
  return Bytes(b.rbegin(), b.rend());
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts)
    all.insert(all.end(), p.begin(), p.end());
  return all;
}
std::uint64_t bits(double v) {
  std::uint64_t u;
  std::memcpy(&u, &v, sizeof u);
  return u;
}

void expect_matrix(const Ref& v, std::uint32_t rows, std::uint32_t cols,
                   const std::vector<double>& row_major) {
  const Cvd::MatVal& m = as_mat(v);
  ASSERT_EQ(m.get_Rows(), rows);
  ASSERT_EQ(m.get_Cols(), cols);
  EXPECT_FALSE(m.get_HasImag());
  for (std::uint32_t r = 0; r < rows; ++r) {
    for (std::uint32_t c = 0; c < cols; ++c) {
      EXPECT_EQ(m.get_real(r, c), row_major[std::size_t{r} * cols + c]) << r << "," << c;
    }
  }
}

TEST_F(BinFiles, ReadsWholeRowsInRowOrderAndEitherByteOrder) {
  put("a.bin", cat({le(1, 2), le(0xFFFE, 2), le(300, 2), le(0x8000, 2), le(0x7FFF, 2)}));
  expect_matrix(read({str("a.bin"), str("int16")}), 5, 1, {1, -2, 300, -32768, 32767});
  // Two columns: the fifth element is a partial row and is left out.
  expect_matrix(read({str("a.bin"), str("int16"), num(0), num(2)}), 2, 2, {1, -2, 300, -32768});
  // The same bytes big-endian.
  expect_matrix(read({str("a.bin"), str("int16"), num(1)}), 5, 1, {256, -257, 11265, 128, -129});
  // Only the real part of the endian code is looked at.
  expect_matrix(read({str("a.bin"), str("uint16"), num(1, 2)}), 5, 1,
                {256, 65279, 11265, 128, 65407});
}

TEST_F(BinFiles, SkippedBytesAndRowCounts) {
  put("h.bin", cat({Bytes{9, 9, 9}, le(10, 4), le(20, 4), le(30, 4), le(40, 4), le(50, 4)}));
  auto rd = [&](double cols, double skip, double rows) {
    return read({str("h.bin"), str("int32"), num(0), num(cols), num(skip), num(rows)});
  };
  expect_matrix(rd(2, 3, 0), 2, 2, {10, 20, 30, 40});
  expect_matrix(rd(2, 3, 1), 1, 2, {10, 20});
  expect_matrix(rd(1, 3, 5), 5, 1, {10, 20, 30, 40, 50});
  expect_matrix(rd(1, 7, 0), 4, 1, {20, 30, 40, 50});
  expect_matrix(rd(1, 0, 2), 2, 1, {static_cast<double>(0x0A090909), 0x14000000});
  for (double skip : {22.0, 23.0, 1000.0})
    expect_matrix(rd(1, skip, 0), 0, 1, {});
  // Too few elements, or a request too large to hold, is refused before
  // anything is read.
  EXPECT_RAISES(rd(2, 3, 3), "expected 6 elements, file holds 5", 1u);
  EXPECT_RAISES(rd(1, 100, 1), "expected 1 element, file holds 0", 1u);
  EXPECT_RAISES(rd(2147483647, 0, 2147483647),
                "expected 4611686014132420609 elements, file holds 5", 1u);
}

TEST_F(BinFiles, ReadArgumentChecksInOrder) {
  put("h.bin", Bytes(16, 7));
  auto rd = [&](const char* type, Ref endian, Ref cols, Ref skip, Ref rows) {
    return read({str("h.bin"), str(type), endian, cols, skip, rows});
  };
  Ref ok0 = num(0), ok1 = num(1);
  for (const char* t : {"Byte", "BYTE", "int8", "", "double "}) {
    EXPECT_RAISES(rd(t, ok0, ok1, ok0, ok0), "unrecognized value", 2u);
  }
  for (Ref cols : {num(0), num(-1), num(1.5), num(2, 1), num(NAN)}) {
    EXPECT_RAISES(rd("byte", ok0, cols, ok0, ok0), "must be positive integer", 4u);
  }
  for (Ref rows : {num(2.5), num(-1), num(1, 1), num(NAN)}) {
    EXPECT_RAISES(rd("byte", ok0, ok1, ok0, rows), "must be positive integer", 6u);
  }
  for (Ref skip : {num(-1), num(0.5), num(0, 1), num(-INFINITY)}) {
    EXPECT_RAISES(rd("byte", ok0, ok1, skip, ok0), "must be non-negative integer", 5u);
  }
  EXPECT_RAISES(rd("byte", ok0, num(3e9), ok0, ok0), "integer too large", 4u);
  EXPECT_RAISES(rd("byte", ok0, ok1, num(2147483648.0), ok0), "integer too large", 5u);
  EXPECT_RAISES(rd("byte", ok0, ok1, ok0, num(INFINITY)), "integer too large", 6u);
  for (Ref e : {num(0.5), num(2), num(-1), num(NAN)}) {
    EXPECT_RAISES(rd("byte", e, ok1, ok0, ok0), "bad value for endian code", 3u);
  }
  // Type, then the name, then rows, cols, skip, endian, then the file.
  Ref bad = num(-1.5);
  EXPECT_RAISES(read({str("http://h/x"), str("int8"), bad, bad, bad, bad}), "unrecognized value",
                2u);
  Raised url = raised([&] { read({str("http://h/x"), str("byte"), bad, bad, bad, bad}); });
  EXPECT_EQ(url.index, Kex::kWholeCall);
  EXPECT_NE(url.message.find("not supported"), std::string::npos) << url.message;
  EXPECT_RAISES(rd("byte", bad, bad, bad, bad), "must be positive integer", 6u);
  EXPECT_RAISES(rd("byte", bad, bad, bad, ok0), "must be positive integer", 4u);
  EXPECT_RAISES(rd("byte", bad, ok1, bad, ok0), "must be non-negative integer", 5u);
  EXPECT_RAISES(read({str("missing.bin"), str("byte"), bad}), "bad value for endian code", 3u);
  EXPECT_RAISES(read({str("missing.bin"), str("byte")}), "file open error", 1u);
}

TEST_F(BinFiles, WritesRowByRowAndReplacesTheFile) {
  auto m = mat({{1.5, -2, 3}, {4e300, -0.0, 6}});
  Ref r = write("m.bin", "double", 0, m);
  auto* z = dynamic_cast<Cvd::NumVal*>(r.get());
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(z->Data.rp, 0.0);
  EXPECT_EQ(z->Data.ip, 0.0);
  Bytes little, big;
  for (double v : {1.5, -2.0, 3.0, 4e300, -0.0, 6.0}) {
    little = cat({little, le(bits(v), 8)});
    big = cat({big, be(bits(v), 8)});
  }
  EXPECT_EQ(get("m.bin"), little);
  write("m.bin", "double", 1, m);
  EXPECT_EQ(get("m.bin"), big);
  write("m.bin", "byte", 0, mat({{7}}));
  EXPECT_EQ(get("m.bin"), Bytes{7});
}

// Writes values as a column of the type, whole and one at a time (the bulk
// and the single-element paths), and expects these file elements.
void expect_cast(const BinFiles& t, const std::string& type, int size,
                 const std::vector<double>& values, const std::vector<std::uint64_t>& want) {
  std::vector<std::uint64_t> got;
  auto column = make_matrix(static_cast<std::uint32_t>(values.size()), 1,
                            [&](std::uint32_t r, std::uint32_t) { return values[r]; });
  for (double endian : {0.0, 1.0}) {
    Bytes expected;
    for (std::uint64_t w : want)
      expected = cat({expected, endian == 0 ? le(w, size) : be(w, size)});
    t.write("c.bin", type, endian, column);
    EXPECT_EQ(t.get("c.bin"), expected) << type << " endian " << endian;
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    t.write("c.bin", type, 0, mat({{values[i]}}));
    EXPECT_EQ(t.get("c.bin"), le(want[i], size)) << type << " value " << values[i];
  }
}

TEST_F(BinFiles, WritingRoundsHalvesAwayFromZeroAndSaturates) {
  const double inf = std::numeric_limits<double>::infinity();
  expect_cast(*this, "int16", 2,
              {2.5, -2.5, 0.49999999999999994, -0.5, 1e9, -1e9, NAN, 32766.5, -inf},
              {3, 0xFFFD, 0, 0xFFFF, 0x7FFF, 0x8000, 0, 0x7FFF, 0x8000});
  expect_cast(*this, "byte", 1, {-1, 254.5, 255.4, 1e300, 0.5, NAN, inf, 1.49999},
              {0, 255, 255, 255, 1, 0, 255, 1});
  expect_cast(*this, "sint8", 1, {-128.5, 127.49, -0.4, 3.5, -1e9}, {0x80, 127, 0, 4, 0x80});
  expect_cast(*this, "uint16", 2, {65535.5, -3, 1.5, 40000.49999, NAN}, {65535, 0, 2, 40000, 0});
  expect_cast(*this, "uint32", 4, {4294967295.4, 4294967296.0, -0.6, 2147483648.5, NAN},
              {0xFFFFFFFF, 0xFFFFFFFF, 0, 2147483649u, 0});
  expect_cast(*this, "int32", 4, {2147483647.6, -2147483648.6, -2.5, NAN, 123456.5},
              {0x7FFFFFFF, 0x80000000, 0xFFFFFFFD, 0, 123457});
  // Singles: nearest, with infinities beyond the range and NaN kept.
  expect_cast(*this, "float", 4, {0.1, 1e300, -1e300, 3.4028234663852886e38, -0.0},
              {0x3DCCCCCD, 0x7F800000, 0xFF800000, 0x7F7FFFFF, 0x80000000});
  write("n.bin", "float", 0, mat({{NAN}}));
  Bytes n = get("n.bin");
  ASSERT_EQ(n.size(), 4u);
  std::uint32_t u = n[0] | n[1] << 8 | n[2] << 16 | static_cast<std::uint32_t>(n[3]) << 24;
  float f;
  std::memcpy(&f, &u, sizeof f);
  EXPECT_TRUE(std::isnan(f)) << "NaN stays NaN";
}

TEST_F(BinFiles, FailedWritesLeaveTheFileAlone) {
  put("keep.bin", Bytes{1, 2, 3});
  auto complex = mat({{1, 2}});
  complex->m_iarr = Cvd::NewArray(2);
  complex->m_iarr[0] = 0;
  complex->m_iarr[1] = 1;
  EXPECT_RAISES(write("keep.bin", "int12", 0, mat({{1}})), "unrecognized value", 2u);
  EXPECT_RAISES(write("keep.bin", "byte", 0, complex), "must be real matrix", 4u);
  EXPECT_RAISES(write("keep.bin", "byte", 2, mat({{1}})), "bad value for endian code", 3u);
  EXPECT_EQ(get("keep.bin"), (Bytes{1, 2, 3}));
  EXPECT_RAISES(write("no/such/folder/x.bin", "byte", 0, mat({{1}})), "file write error", 1u);
  EXPECT_EQ(raised([&] { write("ftp://h/x.bin", "byte", 0, mat({{1}})); }).index, Kex::kWholeCall);
}

// Values that every element type holds exactly.
double in_range(const std::string& type, std::uint32_t r, std::uint32_t c) {
  double k = static_cast<double>((r * 131 + c * 71) % 251);
  if (type == "byte") return k;
  if (type == "sint8") return k - 128;
  if (type == "uint16") return k * 261;
  if (type == "int16") return (k - 125) * 261;
  if (type == "uint32") return k * 17110000;
  if (type == "int32") return (k - 125) * 17110000;
  if (type == "float") return (k - 125) / 8;
  return (k - 125) / 3;
}

TEST_F(BinFiles, WhatIsWrittenReadsBackInEveryTypeOrderAndShape) {
  const std::pair<std::uint32_t, std::uint32_t> shapes[] = {
      {1, 7}, {9, 1}, {3, 5}, {37, 70}, {0, 3}};
  for (const char* type :
       {"byte", "sint8", "uint16", "int16", "uint32", "int32", "float", "double"}) {
    for (double endian : {0.0, 1.0}) {
      for (auto [rows, cols] : shapes) {
        auto m = make_matrix(
            rows, cols, [&](std::uint32_t r, std::uint32_t c) { return in_range(type, r, c); });
        write("rt.bin", type, endian, m);
        Ref back = read({str("rt.bin"), str(type), num(endian), num(cols)});
        const Cvd::MatVal& b = as_mat(back);
        ASSERT_EQ(b.get_Rows(), rows) << type;
        ASSERT_EQ(b.get_Cols(), cols) << type;
        for (std::size_t i = 0; i < m->size(); ++i) {
          ASSERT_EQ(b.real()[i], m->real()[i])
              << type << " endian " << endian << " " << rows << "x" << cols << " at " << i;
        }
      }
    }
  }
}

}  // namespace
