#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "core/portable.h"

namespace torvex {
namespace {

// Both spellings of the digit step against 128-bit arithmetic, at the 64-bit edge and at random.
TEST(Portable, MulAddFitsAgreesWithWideArithmetic) {
  std::mt19937_64 rng(11);
  auto check = [](uint64_t v, uint64_t m, uint64_t d) {
    const unsigned __int128 wide = static_cast<unsigned __int128>(v) * m + d;
    const bool fits = wide <= UINT64_MAX;
    uint64_t a = 0, b = 0;
    ASSERT_EQ(mul_add_fits(v, m, d, &a), fits) << v << " * " << m << " + " << d;
    ASSERT_EQ(mul_add_fits_generic(v, m, d, &b), fits) << v << " * " << m << " + " << d;
    if (fits) {
      ASSERT_EQ(a, static_cast<uint64_t>(wide));
      ASSERT_EQ(b, static_cast<uint64_t>(wide));
    }
  };
  for (uint64_t m : {0u, 1u, 8u, 10u, 16u}) {
    for (uint64_t d = 0; d < 16; ++d) {
      const uint64_t edge = m ? UINT64_MAX / m : UINT64_MAX;
      for (uint64_t v : {uint64_t{0}, edge - 1, edge, edge + 1, UINT64_MAX}) check(v, m, d);
    }
  }
  for (int i = 0; i < 10000; ++i) check(rng() >> (rng() % 64), rng() % 40, rng() % 40);
}

TEST(Portable, ByteSwap) {
  static_assert(byte_swap32(0x11223344u) == 0x44332211u);
  static_assert(byte_swap64(0x1122334455667788ull) == 0x8877665544332211ull);
  std::mt19937_64 rng(5);
  for (int i = 0; i < 1000; ++i) {
    const uint64_t v = rng();
    ASSERT_EQ(byte_swap64(byte_swap64(v)), v);
    ASSERT_EQ(byte_swap64(v) >> 32, byte_swap32(static_cast<uint32_t>(v)));
  }
}

}  // namespace
}  // namespace torvex
