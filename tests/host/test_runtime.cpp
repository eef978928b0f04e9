// Host values, marshalling and stacking.
#include <gtest/gtest.h>

#include "kexio/host/context.h"
#include "kexio/runtime/cvd.h"
#include "support/values.h"

namespace {

using namespace kexio_test;

TEST(UnMarshal, SmallMatrixIsCopiedAndOutlivesTheContext) {
  Cvd::Ref value;
  const double* arena_data = nullptr;
  {
    KexCallContext ctx;
    double* d = Kex::allocate_doubles(4);
    for (int i = 0; i < 4; ++i)
      d[i] = i + 0.5;
    arena_data = d;
    double im[4] = {0, 0, 0, 0};
    (void)im;
    value = KexMarshal::UnMarshal(
        reinterpret_cast<Kex::Anyval*>(Kex::new_real_matrix(ctx.m_alloc, 2, 2, d)));
  }
  auto* m = dynamic_cast<Cvd::MatVal*>(value.get());
  ASSERT_NE(m, nullptr);
  EXPECT_NE(m->real(), arena_data);
  EXPECT_EQ(m->get_Rows(), 2u);
  EXPECT_EQ(m->get_real(1, 1), 3.5);
  EXPECT_FALSE(m->get_HasImag());
}

TEST(UnMarshal, LargeArraysAreHandedOverWithoutACopy) {
  const std::size_t n = 1 << 20;
  Cvd::Ref value;
  double* re = nullptr;
  double* im = nullptr;
  {
    KexCallContext ctx;
    re = Kex::allocate_doubles(n);
    im = Kex::allocate_doubles(n);
    for (std::size_t i = 0; i < n; ++i) {
      re[i] = static_cast<double>(i);
      im[i] = -static_cast<double>(i);
    }
    value = KexMarshal::UnMarshal(
        reinterpret_cast<Kex::Anyval*>(Kex::new_matrix(ctx.m_alloc, 1024, 1024, re, im)));
  }
  auto* m = dynamic_cast<Cvd::MatVal*>(value.get());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->real(), re) << "handed over, not copied";
  EXPECT_EQ(m->imag(), im);
  // Still readable after the context closed (ASan would flag a freed block).
  EXPECT_EQ(m->get_real(1023, 1023), static_cast<double>(n - 1));
  EXPECT_EQ(m->imag()[n - 1], -static_cast<double>(n - 1));
}

TEST(UnMarshal, ComplexScalar) {
  KexCallContext ctx;
  double re = 1.5, im = -2;
  Cvd::Ref v = KexMarshal::UnMarshal(
      reinterpret_cast<Kex::Anyval*>(Kex::new_complex(ctx.m_alloc, &re, &im)));
  auto* n = dynamic_cast<Cvd::NumVal*>(v.get());
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->Data.rp, 1.5);
  EXPECT_EQ(n->Data.ip, -2);
}

TEST(MatVal, NestedElementsAndRealness) {
  auto table = std::make_shared<Cvd::Table>();
  auto m = mat({{1, 0}, {2, 3}});
  m->real()[2] = Cvd::NestedSlot();
  (*table)[2] = str("ab");
  EXPECT_TRUE(m->get_IsRealMatrix());
  m->m_parr = table;
  EXPECT_FALSE(m->get_IsRealMatrix());
  Cvd::NumVal n;
  EXPECT_EQ(m->get_2_na(n, 1, 0), nullptr);
  EXPECT_EQ(n.Data.rp, 2);
  Cvd::Ref text = m->get_2_na(n, 0, 1);
  ASSERT_NE(dynamic_cast<Cvd::StrVal*>(text.get()), nullptr);
  EXPECT_TRUE(Cvd::IsNestedSlot(m->get_1(2)));
  auto c = mat({{1}});
  c->m_iarr = Cvd::NewArray(1);
  c->m_iarr[0] = 0;
  EXPECT_TRUE(c->get_IsRealMatrix()) << "an all-zero imaginary part is still real";
  EXPECT_TRUE(c->get_HasImag());
  c->m_iarr[0] = 1;
  EXPECT_FALSE(c->get_IsRealMatrix());
}

TEST(Stack, AppendsRowsAndMovesNestedElements) {
  auto top = mat({{1, 2}, {3, 4}});
  auto bottom = mat({{5, 0}});
  bottom->m_parr = std::make_shared<Cvd::Table>();
  bottom->real()[1] = Cvd::NestedSlot();
  (*bottom->m_parr)[1] = str("x");
  Cvd::Ref s = Kex::Matrix::stack({top, bottom});
  auto* m = dynamic_cast<Cvd::MatVal*>(s.get());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->get_Rows(), 3u);
  EXPECT_EQ(m->get_real(1, 0), 3);
  EXPECT_EQ(m->get_real(2, 0), 5);
  EXPECT_EQ(m->get_real(1, 1), 4);
  ASSERT_NE(m->m_parr, nullptr);
  EXPECT_EQ(m->m_parr->count(1 * 3 + 2), 1u) << "element (2, 1) keeps its text";
  EXPECT_EQ(Kex::Matrix::stack({top, mat({{1, 2, 3}})}), nullptr);
  EXPECT_EQ(Kex::Matrix::stack({top, num(1)}), nullptr);
}

TEST(Strings, RawBytesKeepTheLowEightBits) {
  EXPECT_EQ(Vrt::StringToRawBytes(u"a\u00e9\u0163\u4e2d"), std::string("a\xe9\x63\x2d"));
  EXPECT_EQ(Vrt::RawBytesToString("\xff"), u"\u00ff");
}

}  // namespace
