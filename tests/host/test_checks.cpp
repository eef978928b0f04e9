// The argument-check helpers.
#include <gtest/gtest.h>

#include "host/checks.h"
#include "support/scratch.h"
#include "support/values.h"

namespace {

using namespace kexio_test;

TEST(Nonint, ClassifiesDoubles) {
  // 0: an integer of 32 bits (within 1e-10), 1: not an integer, 2 and 3:
  // beyond 32 bits above and below.
  const std::pair<double, int> cases[] = {{3.00000000001, 0}, {2.95, 1},   {0.5, 1},
                                          {-0.5, 1},          {0, 0},      {-7, 0},
                                          {3e9, 2},           {-3e9, 3},   {2147483647.0, 0},
                                          {2147483647.5, 2},  {1e-300, 1}, {-2147483648.0, 0}};
  for (auto [x, kind] : cases)
    EXPECT_EQ(Kex::nonint(x), kind) << x;
}

TEST(ErrorChecks, IsIntIsImatrix) {
  std::int32_t out = 0;
  EXPECT_TRUE(Kex::Error::is_int(num(-3.00000000001), &out));
  EXPECT_EQ(out, -3);
  for (const Cvd::Ref& v : {num(2, 1e-300), num(2.5), Cvd::Ref(mat({{1}})), str("1")})
    EXPECT_FALSE(Kex::Error::is_int(v, nullptr));

  Kex::Error::ofsize_t column{-1, 1};
  Cvd::MatVal* m = nullptr;
  EXPECT_TRUE(Kex::Error::is_imatrix(mat({{1}, {2}, {3}}), column, &m));
  EXPECT_NE(m, nullptr);
  EXPECT_FALSE(Kex::Error::is_imatrix(mat({{1, 2}}), column, nullptr));
  EXPECT_TRUE(Kex::Error::is_imatrix(mat({{1, 2}}), {1, 2}, nullptr));
  EXPECT_FALSE(Kex::Error::is_imatrix(mat({{1, 2}}), {2, 2}, nullptr));
  EXPECT_TRUE(Kex::Error::is_imatrix(Cvd::MatVal::Zeros(0, 0), nullptr)) << "empty passes";
  for (const Cvd::Ref& v :
       {Cvd::Ref(mat({{1, 2.5}})), Cvd::Ref(with_imag(mat({{1, 2}}), {0, 1})), num(1)})
    EXPECT_FALSE(Kex::Error::is_imatrix(v, nullptr));
}

}  // namespace
