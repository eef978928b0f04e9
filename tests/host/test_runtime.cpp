// Host values, marshalling and stacking.
#include <gtest/gtest.h>

#include "kexio/host/context.h"
#include "kexio/runtime/cvd.h"
#include "support/values.h"

namespace {

using namespace kexio_test;

TEST(UnMarshal, SmallValuesAreCopiedAndOutliveTheContext) {
  Cvd::Ref matrix, complex;
  const double* arena_data = nullptr;
  {
    KexCallContext ctx;
    double* d = Kex::allocate_doubles(4);
    for (int i = 0; i < 4; ++i)
      d[i] = i + 0.5;
    arena_data = d;
    matrix = KexMarshal::UnMarshal(
        reinterpret_cast<Kex::Anyval*>(Kex::new_real_matrix(ctx.m_alloc, 2, 2, d)));
    double re = 1.5, im = -2;
    complex = KexMarshal::UnMarshal(
        reinterpret_cast<Kex::Anyval*>(Kex::new_complex(ctx.m_alloc, &re, &im)));
  }
  auto* m = dynamic_cast<Cvd::MatVal*>(matrix.get());
  ASSERT_NE(m, nullptr);
  EXPECT_NE(m->real(), arena_data);
  EXPECT_EQ(rows_of(matrix), (Rows{{0.5, 2.5}, {1.5, 3.5}}));
  EXPECT_FALSE(m->get_HasImag());
  auto* n = dynamic_cast<Cvd::NumVal*>(complex.get());
  ASSERT_NE(n, nullptr);
  EXPECT_TRUE(n->Data.rp == 1.5 && n->Data.ip == -2);
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

TEST(MatVal, NestedElementsAndRealness) {
  auto m = mat({{1, 0}, {2, 3}});
  m->real()[2] = Cvd::NestedSlot();
  EXPECT_TRUE(m->get_IsRealMatrix());
  m->m_parr = std::make_shared<Cvd::Table>();
  (*m->m_parr)[2] = str("ab");
  EXPECT_FALSE(m->get_IsRealMatrix());
  Cvd::NumVal n;
  EXPECT_EQ(m->get_2_na(n, 1, 0), nullptr);
  EXPECT_EQ(n.Data.rp, 2);
  EXPECT_NE(dynamic_cast<Cvd::StrVal*>(m->get_2_na(n, 0, 1).get()), nullptr);
  EXPECT_TRUE(Cvd::IsNestedSlot(m->get_1(2)));
  auto c = with_imag(mat({{1}}), {0});
  EXPECT_TRUE(c->get_IsRealMatrix() && c->get_HasImag()) << "an all-zero imaginary part is real";
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
  Rows r = rows_of(s);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(Rows(r.begin(), r.begin() + 2), (Rows{{1, 2}, {3, 4}}));
  EXPECT_EQ(r[2][0], 5);
  auto* m = static_cast<Cvd::MatVal*>(s.get());
  ASSERT_NE(m->m_parr, nullptr);
  EXPECT_EQ(m->m_parr->count(1 * 3 + 2), 1u) << "element (2, 1) keeps its text";
  EXPECT_EQ(Kex::Matrix::stack({top, mat({{1, 2, 3}})}), nullptr);
  EXPECT_EQ(Kex::Matrix::stack({top, num(1)}), nullptr);
}

}  // namespace
