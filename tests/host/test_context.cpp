// Call contexts, the arena and the result helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "kexio/host/context.h"
#include "kexio/io.h"
#include "support/values.h"

namespace {

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
  using namespace kexio_test;
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

}  // namespace
