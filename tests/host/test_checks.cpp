// The argument-check helpers.
#include <gtest/gtest.h>

#include "host/checks.h"
#include "kexio/host/errors.h"
#include "support/values.h"

namespace {

using namespace kexio_test;

TEST(Nonint, ClassifiesDoubles) {
  EXPECT_EQ(Kex::nonint(3.00000000001), 0);
  EXPECT_EQ(Kex::nonint(2.95), 1);
  EXPECT_EQ(Kex::nonint(0.5), 1);
  EXPECT_EQ(Kex::nonint(-0.5), 1);
  EXPECT_EQ(Kex::nonint(0), 0);
  EXPECT_EQ(Kex::nonint(-7), 0);
  EXPECT_EQ(Kex::nonint(3e9), 2);
  EXPECT_EQ(Kex::nonint(-3e9), 3);
  EXPECT_EQ(Kex::nonint(2147483647.0), 0);
  EXPECT_EQ(Kex::nonint(2147483647.5), 2);
  EXPECT_EQ(Kex::nonint(-2147483648.0), 0);
  EXPECT_EQ(Kex::nonint(1e-300), 1) << "tiny non-zero values are not integers";
}

TEST(ErrorChecks, IsInt) {
  std::int32_t out = 0;
  EXPECT_TRUE(Kex::Error::is_int(num(12), &out));
  EXPECT_EQ(out, 12);
  EXPECT_TRUE(Kex::Error::is_int(num(-3.00000000001), &out));
  EXPECT_EQ(out, -3);
  EXPECT_FALSE(Kex::Error::is_int(num(2, 1e-300), &out)) << "any imaginary part refuses";
  EXPECT_FALSE(Kex::Error::is_int(num(2.5), nullptr));
  EXPECT_FALSE(Kex::Error::is_int(mat({{1}}), nullptr));
  EXPECT_FALSE(Kex::Error::is_int(str("1"), nullptr));
}

TEST(ErrorChecks, IsImatrixWithSizeTest) {
  Kex::Error::ofsize_t column{-1, 1};
  Cvd::MatVal* out = nullptr;
  EXPECT_TRUE(Kex::Error::is_imatrix(mat({{1}, {2}, {3}}), column, &out));
  EXPECT_NE(out, nullptr);
  EXPECT_FALSE(Kex::Error::is_imatrix(mat({{1, 2}}), column, nullptr));
  EXPECT_TRUE(Kex::Error::is_imatrix(mat({{1, 2}}), {1, 2}, nullptr));
  EXPECT_FALSE(Kex::Error::is_imatrix(mat({{1, 2}}), {2, 2}, nullptr));
  EXPECT_FALSE(Kex::Error::is_imatrix(mat({{1, 2.5}}), nullptr));
  EXPECT_TRUE(Kex::Error::is_imatrix(Cvd::MatVal::Zeros(0, 0), nullptr)) << "empty passes";
  auto complex = mat({{1, 2}});
  complex->m_iarr = Cvd::NewArray(2);
  complex->m_iarr[0] = 0;
  complex->m_iarr[1] = 1;
  EXPECT_FALSE(Kex::Error::is_imatrix(complex, nullptr));
  EXPECT_FALSE(Kex::Error::is_imatrix(num(1), nullptr));
}

TEST(ErrorChecks, AsScalarRaisesAtTheIndex) {
  EXPECT_EQ(Kex::Error::as_scalar(num(4), 3, "must be scalar")->Data.rp, 4);
  try {
    Kex::Error::as_scalar(str("x"), 3, "must be scalar");
    FAIL();
  } catch (const Kex::Exception& e) {
    EXPECT_EQ(e.message(), "must be scalar");
    EXPECT_EQ(e.index(), 3u);
  }
}

}  // namespace
