#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "binary/float_bits.h"

namespace torvex {
namespace {

uint32_t round_trip(uint32_t u) {
  uint32_t back = 0;
  EXPECT_TRUE(float_bits_from_double(double_from_float_bits(u), &back)) << std::hex << u;
  return back;
}

TEST(FloatBits, EveryPatternSurvivesTheDouble) {
  // A stride through all 2^32 patterns, plus every NaN edge: signalling and quiet, both signs,
  // smallest and largest payloads.
  for (uint64_t u = 0; u <= 0xFFFFFFFFu; u += 9973) {
    EXPECT_EQ(round_trip(static_cast<uint32_t>(u)), u) << std::hex << u;
  }
  for (uint32_t sign : {0u, 0x80000000u}) {
    for (uint32_t payload : {1u, 2u, 8u, 0x1FFFFFu, 0x3FFFFFu, 0x400000u, 0x400001u, 0x7FFFFFu}) {
      uint32_t u = sign | 0x7F800000u | payload;
      EXPECT_EQ(round_trip(u), u) << std::hex << u;
      EXPECT_TRUE(std::isnan(double_from_float_bits(u)));
    }
  }
}

TEST(FloatBits, OrdinaryValuesConvertAsTheHardwareDoes) {
  for (uint64_t u = 0; u <= 0xFFFFFFFFu; u += 65521) {
    float f = std::bit_cast<float>(static_cast<uint32_t>(u));
    if (std::isnan(f)) continue;
    EXPECT_EQ(std::bit_cast<uint64_t>(double_from_float_bits(static_cast<uint32_t>(u))),
              std::bit_cast<uint64_t>(static_cast<double>(f)));
  }
  uint32_t bits = 0;
  EXPECT_TRUE(float_bits_from_double(0.1, &bits));
  EXPECT_EQ(bits, std::bit_cast<uint32_t>(0.1f));
}

TEST(FloatBits, RangeAndNarrowNaNs) {
  uint32_t bits = 0;
  EXPECT_TRUE(float_bits_from_double(std::numeric_limits<float>::max(), &bits));
  EXPECT_FALSE(float_bits_from_double(3.5e38, &bits));
  EXPECT_FALSE(float_bits_from_double(-1e300, &bits));
  EXPECT_TRUE(float_bits_from_double(-INFINITY, &bits));
  EXPECT_EQ(bits, 0xFF800000u);
  // A double NaN whose payload lies below what a float keeps stays a NaN: the quiet one.
  EXPECT_TRUE(float_bits_from_double(std::bit_cast<double>(0xFFF0000000000001ull), &bits));
  EXPECT_EQ(bits, 0xFFC00000u);
  EXPECT_TRUE(float_bits_from_double(std::bit_cast<double>(0x7FF4000000000000ull), &bits));
  EXPECT_EQ(bits, 0x7FA00000u);
}

}  // namespace
}  // namespace torvex
