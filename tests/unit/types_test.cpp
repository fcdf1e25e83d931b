#include "runtime/core/types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "runtime/core/pcg32.h"

namespace glimmer {
namespace {

TEST(ToInt16, RoundsHalvesToEven) {
  // The halves that tell ties-to-even from ties-away-from-zero: these are
  // where a wrong rounding rule shows.
  EXPECT_EQ(ToInt16(2.5), 2);
  EXPECT_EQ(ToInt16(-2.5), -2);
  EXPECT_EQ(ToInt16(0.5), 0);
  EXPECT_EQ(ToInt16(-0.5), 0);
  EXPECT_EQ(ToInt16(158.5), 158);
  // Halves whose even neighbour is also the one away from zero.
  EXPECT_EQ(ToInt16(1.5), 2);
  EXPECT_EQ(ToInt16(-1.5), -2);
  // The only exact half a colour channel can meet; both rules give 158.
  EXPECT_EQ(ToInt16(157.5), 158);
  EXPECT_EQ(ToInt16(30.49999), 30);
  EXPECT_EQ(ToInt16(30.50001), 31);
}

TEST(ToInt16, OverflowsOutside16Bits) {
  EXPECT_EQ(ToInt16(32767.4), 32767);
  EXPECT_EQ(ToInt16(-32768.5), -32768);  // the even neighbour is in range
  EXPECT_THROW((void)ToInt16(32767.5), RunTimeError);
  EXPECT_THROW((void)ToInt16(-32769.0), RunTimeError);
  EXPECT_THROW((void)ToInt16(1e300), RunTimeError);
  EXPECT_THROW((void)ToInt16(std::numeric_limits<double>::quiet_NaN()), RunTimeError);
  try {
    (void)ToInt16(40000.0);
    FAIL() << "no error";
  } catch (const RunTimeError& e) {
    EXPECT_EQ(e.kind(), RunTimeError::Kind::kOverflow);
    EXPECT_NE(e.Message().find("overflow"), std::string::npos);
  }
}

// Every channel the dot spray can form, 255 r + 30 for each Single r in
// [0, 1) that the generator yields, rounds as std::nearbyint rounds it.
TEST(ToInt16, AgreesWithNearbyintOnEveryColourChannel) {
  std::uint32_t mismatches = 0;
  for (std::uint32_t k = 0; k < (1u << 24); ++k) {
    const double v = static_cast<double>(static_cast<float>(k) * 0x1.0p-24f) * 255.0 + 30.0;
    if (ToInt16(v) != static_cast<Int16>(std::nearbyint(v))) ++mismatches;
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(ToInt16, AgreesWithNearbyintAcrossTheRangeAndAtEveryHalf) {
  Pcg32 rng(7, 11);
  for (int i = 0; i < 1'000'000; ++i) {
    // Uniform over [-32768.5, 32767.5), plus the exact halves and their
    // neighbours one ulp away.
    const double v = static_cast<double>(rng.Next()) / 65536.0 - 32768.5;
    const double half = std::floor(v) + 0.5;
    for (double x : {v, half, std::nextafter(half, -1e9), std::nextafter(half, 1e9)}) {
      const double expected = std::nearbyint(x);
      if (expected >= -32768.0 && expected <= 32767.0) {
        ASSERT_EQ(ToInt16(x), static_cast<Int16>(expected)) << x;
      } else {
        ASSERT_THROW((void)ToInt16(x), RunTimeError) << x;
      }
    }
  }
}

TEST(ToInt16, OverflowsForHugeValuesOfEitherSign) {
  for (double v :
       {0x1.0p51, -0x1.0p51, 0x1.8p52, -0x1.8p52, -0x1.8p52 + 5.0, 0x1.0p53, -0x1.0p53, 1e17, -1e17,
        std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
    EXPECT_THROW((void)ToInt16(v), RunTimeError) << v;
  }
}

TEST(ComposeColour, PacksRedGreenBlueAndCapsAt255) {
  EXPECT_EQ(ComposeColour(0, 0, 0), 0u);
  EXPECT_EQ(ComposeColour(1, 2, 3), 1u + 2u * 256u + 3u * 65536u);
  EXPECT_EQ(ComposeColour(255, 255, 255), 0xffffffu);
  EXPECT_EQ(ComposeColour(256, 30, 285), 255u + 30u * 256u + 255u * 65536u);
  EXPECT_EQ(ComposeColour(30, 285, 30), 30u + 255u * 256u + 30u * 65536u);
  // The top byte stays clear whatever comes in.
  EXPECT_EQ(ComposeColour(32767, 32767, 32767) >> 24, 0u);
  EXPECT_EQ(ComposeColour(-5, 0, 0), 0u);
}

TEST(FloatingPointCheck, PassesFiniteValuesAndFaultsOnInfinityOrNaN) {
  EXPECT_EQ(CheckFloat(1.5, "x"), 1.5);
  const double huge = std::numeric_limits<double>::max();
  EXPECT_THROW((void)CheckFloat(huge * 2.0, "x"), RunTimeError);
  EXPECT_THROW((void)CheckFloat(std::numeric_limits<double>::infinity() - huge * 2.0, "x"),
               RunTimeError);
  // Finite as a Double but too large for a Single.
  EXPECT_THROW((void)ToSingle(1e39, "x"), RunTimeError);
  EXPECT_EQ(ToSingle(3.0e38, "x"), 3.0e38f);
  try {
    (void)ToSingle(1e39, "the ball's step");
    FAIL() << "no error";
  } catch (const RunTimeError& e) {
    EXPECT_EQ(e.kind(), RunTimeError::Kind::kFloatingPoint);
    EXPECT_NE(e.Message().find("the ball's step"), std::string::npos);
  }
}

}  // namespace
}  // namespace glimmer
