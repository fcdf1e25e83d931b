#include "runtime/core/pcg32.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace glimmer {
namespace {

TEST(Pcg32, MatchesTheReferenceSequence) {
  Pcg32 rng(42, 54);
  const std::uint32_t expected[] = {0xa15c02b7, 0x7b47f409, 0xba1d3330,
                                    0x83d2f293, 0xbfa4784b, 0xcbed606e};
  for (std::uint32_t e : expected)
    EXPECT_EQ(rng.Next(), e);
}

TEST(Pcg32, SinglesAreTheTop24BitsAndStayBelowOne) {
  Pcg32 a(42, 54);
  Pcg32 b(42, 54);
  for (int i = 0; i < 100000; ++i) {
    const float s = a.NextSingle();
    const std::uint32_t raw = b.Next();
    ASSERT_EQ(s, static_cast<float>(raw >> 8) / 16777216.0f);
    ASSERT_GE(s, 0.0f);
    ASSERT_LT(s, 1.0f);
  }
}

TEST(Pcg32, SinglesSpreadEvenly) {
  Pcg32 rng(7, 11);
  int buckets[10] = {};
  constexpr int kDraws = 200000;
  for (int i = 0; i < kDraws; ++i)
    ++buckets[static_cast<int>(rng.NextSingle() * 10.0f)];
  for (int count : buckets)
    EXPECT_NEAR(count, kDraws / 10, kDraws / 100);
}

TEST(Pcg32, DifferentSeedsGiveDifferentSequences) {
  Pcg32 a(1000, 1);
  Pcg32 b(1001, 1);
  int same = 0;
  for (int i = 0; i < 100; ++i)
    same += a.Next() == b.Next() ? 1 : 0;
  EXPECT_LT(same, 3);
}

}  // namespace
}  // namespace glimmer
