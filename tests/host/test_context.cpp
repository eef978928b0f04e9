// Call contexts, the arena and the result helpers; host values handed over
// from a call context, and stacking.
#include <gtest/gtest.h>

#include <cstring>

#include "kexio/host/context.h"
#include "kexio/io.h"
#include "kexio/runtime/cvd.h"
#include "support/values.h"

namespace {

using namespace kexio_test;

struct Statics {
  IcvAllocator* current = IcvAllocator::m_current;
  std::int32_t next = IcvAllocator::m_NextHandle;
  std::int32_t init = IcvAllocator::m_init_handle;
  bool operator==(const Statics&) const = default;
};

TEST(Records, ContextFieldsAndMatrixHeader) {
  KexCallContext ctx;
  auto* base = reinterpret_cast<unsigned char*>(&ctx);
  EXPECT_EQ(reinterpret_cast<unsigned char*>(static_cast<IcvAllocator*>(&ctx)), base);
  EXPECT_EQ(reinterpret_cast<unsigned char*>(&ctx.m_alloc) - base, 144);
  EXPECT_EQ(reinterpret_cast<unsigned char*>(&ctx.m_aux) - base, 152);

  double* data = Kex::allocate_doubles(6);
  ASSERT_NE(data, nullptr);
  Kex::aMatrix* m = Kex::new_matrix(ctx.m_alloc, 3, 2, data, nullptr);
  ASSERT_NE(m, nullptr);
  // The rows, then the tag that makes the first 8 bytes a NaN.
  std::uint32_t words[2];
  std::memcpy(words, m, sizeof words);
  EXPECT_EQ(words[0], 3u);
  EXPECT_EQ(words[1], 0x7FF40000u);
  // A result header comes from the inline buffer: no heap block yet.
  EXPECT_EQ(ctx.m_alloc, static_cast<IcvAllocator*>(&ctx));
  auto* header = reinterpret_cast<unsigned char*>(m);
  EXPECT_GE(header, ctx.m_buf);
  EXPECT_LT(header, ctx.m_buf + sizeof ctx.m_buf);
}

TEST(Arena, OverflowingTheInlineBufferLinksHeapBlocksThatCloseFrees) {
  KexCallContext ctx;
  std::vector<Kex::aComplex*> values;
  for (int i = 0; i < 1000; ++i) {
    double re = i, im = -i;
    values.push_back(Kex::new_complex(ctx.m_alloc, &re, &im));
    ASSERT_NE(values.back(), nullptr);
  }
  EXPECT_NE(ctx.m_blocks, nullptr);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(values[i]->rp, i);
    ASSERT_EQ(values[i]->ip, -i);
  }
  EXPECT_EQ(Kex::allocate_doubles(SIZE_MAX / 4), nullptr) << "overflowing sizes are refused";
}

// Contexts restore the statics they change when they close, nested or not,
// and so does a call that fails inside the worker or in a type check, before
// any context.
TEST(Context, ClosingOrFailingRestoresTheStatics) {
  Statics before;
  IcvAllocator::m_NextHandle = 17;
  Statics start;
  {
    KexCallContext outer;
    EXPECT_EQ(IcvAllocator::m_current, &outer);
    EXPECT_EQ(IcvAllocator::m_init_handle, 17);
    IcvAllocator::m_NextHandle = 20;
    {
      KexCallContext inner;
      EXPECT_EQ(IcvAllocator::m_current, &inner);
      EXPECT_EQ(IcvAllocator::m_init_handle, 20);
      IcvAllocator::m_NextHandle = 25;
    }
    EXPECT_EQ(IcvAllocator::m_current, &outer);
    EXPECT_EQ(IcvAllocator::m_NextHandle, 20) << "handles of the inner call are returned";
    EXPECT_EQ(IcvAllocator::m_init_handle, 17);
    Statics inside;
    EXPECT_THROW(
        Kex::IO::WRITEBIN(u"", str("/nonexistent/kexio/x"), str("int16"), num(0), mat({{1}})),
        Kex::Exception);
    EXPECT_TRUE(Statics() == inside) << "an inner call leaves the outer context current";
  }
  EXPECT_TRUE(Statics() == start);
  EXPECT_THROW(Kex::IO::READ_BLUE(u"", str("/nonexistent/kexio/a.bmp")), Kex::Exception);
  EXPECT_THROW(Kex::IO::READ_BLUE(u"", num(1)), Kex::Exception);
  EXPECT_TRUE(Statics() == start);
  IcvAllocator::m_NextHandle = before.next;
}

// Small values are copied out of the context's arena; large arrays are
// handed over without a copy. Both outlive the context (ASan would flag a
// freed block).
TEST(UnMarshal, SmallValuesAreCopiedLargeArraysHandedOver) {
  const std::size_t n = 1 << 20;
  Cvd::Ref matrix, complex, large;
  const double* arena_data = nullptr;
  double *re = nullptr, *im = nullptr;
  {
    KexCallContext ctx;
    double* d = Kex::allocate_doubles(4);
    for (int i = 0; i < 4; ++i)
      d[i] = i + 0.5;
    arena_data = d;
    matrix = KexMarshal::UnMarshal(
        reinterpret_cast<Kex::Anyval*>(Kex::new_real_matrix(ctx.m_alloc, 2, 2, d)));
    double cre = 1.5, cim = -2;
    complex = KexMarshal::UnMarshal(
        reinterpret_cast<Kex::Anyval*>(Kex::new_complex(ctx.m_alloc, &cre, &cim)));
    re = Kex::allocate_doubles(n);
    im = Kex::allocate_doubles(n);
    for (std::size_t i = 0; i < n; ++i) {
      re[i] = static_cast<double>(i);
      im[i] = -static_cast<double>(i);
    }
    large = KexMarshal::UnMarshal(
        reinterpret_cast<Kex::Anyval*>(Kex::new_matrix(ctx.m_alloc, 1024, 1024, re, im)));
  }
  auto* m = dynamic_cast<Cvd::MatVal*>(matrix.get());
  ASSERT_NE(m, nullptr);
  EXPECT_NE(m->real(), arena_data);
  EXPECT_EQ(rows_of(matrix), (Rows{{0.5, 2.5}, {1.5, 3.5}}));
  EXPECT_FALSE(m->get_HasImag());
  auto* c = dynamic_cast<Cvd::NumVal*>(complex.get());
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(c->Data.rp == 1.5 && c->Data.ip == -2);
  auto* l = dynamic_cast<Cvd::MatVal*>(large.get());
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->real(), re) << "handed over, not copied";
  EXPECT_EQ(l->imag(), im);
  EXPECT_EQ(l->get_real(1023, 1023), static_cast<double>(n - 1));
  EXPECT_EQ(l->imag()[n - 1], -static_cast<double>(n - 1));
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
