#include <gtest/gtest.h>

#include "animation/dot_spray.h"
#include "tests/support/fake_runtime.h"

namespace glimmer {
namespace {

using testing::FakeRuntime;

Colour Rgb(Colour r, Colour g, Colour b) {
  return r + 256u * g + 65536u * b;
}

TEST(DotSpray, FirstPointTakesFiveNumbersAsXYRedGreenBlue) {
  FakeRuntime rt;
  rt.width = 10000.0f;
  rt.height = 8000.0f;
  rt.randoms = {0.25f, 0.5f, 0.0f, 0.5f, 0.75f, /* second point */ 0.125f, 0.0f, 1.0f / 255, 0, 0};
  SprayDots(rt);
  ASSERT_EQ(rt.log.plots.size(), 403u);
  EXPECT_EQ(rt.log.plots[0].x, 2500.0f);
  EXPECT_EQ(rt.log.plots[0].y, 4000.0f);
  // red 0 -> 30, green 0.5 -> 157.5 -> 158, blue 0.75 -> 221.25 -> 221
  EXPECT_EQ(rt.log.plots[0].colour, Rgb(30, 158, 221));
  EXPECT_EQ(rt.log.plots[1].x, 1250.0f);
  EXPECT_EQ(rt.log.plots[1].y, 0.0f);
  EXPECT_EQ(rt.log.plots[1].colour, Rgb(31, 30, 30));
}

TEST(DotSpray, ATickDraws2015NumbersAndReadsTheSize806Times) {
  FakeRuntime rt;
  SprayDots(rt);
  EXPECT_EQ(rt.log.random_draws, 2015u);
  EXPECT_EQ(rt.log.size_reads, 806u);
  EXPECT_EQ(rt.log.plots.size(), 403u);
  SprayDots(rt);
  EXPECT_EQ(rt.log.random_draws, 4030u);
}

TEST(DotSpray, ChannelsRoundHalfToEvenAndCapAt255) {
  // Each value 255 r + 30, then the colour it gives.
  struct Case {
    float r;
    Colour channel;
  };
  const Case cases[] = {
      {0.0f, 30},
      {0.125f, 62},                    // 61.875
      {0.5f, 158},                     // 157.5: halves go to the even neighbour
      {0.875f, 253},                   // 253.125
      {0.9f, 255},                     // 259.49999 -> 259, capped
      {0.99999994f, 255},              // just below 1: 284.99998 -> 285, capped
      {4243649.0f / 16777216.0f, 95},  // 94.5000038; rounded to a Single first, 94.5 -> 94
  };
  for (const Case& c : cases) {
    FakeRuntime rt;
    rt.randoms = {0.0f, 0.0f, c.r, c.r, c.r};
    SprayDots(rt);
    EXPECT_EQ(rt.log.plots[0].colour, Rgb(c.channel, c.channel, c.channel)) << "r=" << c.r;
  }
}

TEST(DotSpray, PointsAreNeverDark) {
  FakeRuntime rt;
  for (int tick = 0; tick < 50; ++tick)
    SprayDots(rt);
  for (const auto& p : rt.log.plots) {
    for (int shift : {0, 8, 16}) {
      const Colour ch = (p.colour >> shift) & 0xffu;
      ASSERT_GE(ch, 30u);
    }
    ASSERT_EQ(p.colour >> 24, 0u);
  }
}

TEST(DotSpray, ReadsTheSizeAfreshForEveryPoint) {
  FakeRuntime rt;
  rt.width = 1000.0f;
  rt.height = 2000.0f;
  rt.randoms.assign(2015, 0.5f);
  // The window is resized after the first point's two reads.
  rt.script.on_size_read = [](FakeRuntime& f) {
    if (f.log.size_reads == 2) {
      f.width = 3000.0f;
      f.height = 500.0f;
    }
  };
  SprayDots(rt);
  EXPECT_EQ(rt.log.plots[0].x, 500.0f);
  EXPECT_EQ(rt.log.plots[0].y, 1000.0f);
  EXPECT_EQ(rt.log.plots[1].x, 1500.0f);
  EXPECT_EQ(rt.log.plots[1].y, 250.0f);
}

TEST(DotSpray, CoordinatesAreSingleProducts) {
  FakeRuntime rt;
  rt.width = 15000.0f;
  rt.height = 11520.0f;
  const float r1 = 0.7312345f, r2 = 0.1234567f;
  rt.randoms = {r1, r2, 0, 0, 0};
  SprayDots(rt);
  EXPECT_EQ(rt.log.plots[0].x, r1 * 15000.0f);
  EXPECT_EQ(rt.log.plots[0].y, r2 * 11520.0f);
}

TEST(DotSpray, PointsSpreadOverTheOuterSizeIncludingBeyondTheClientArea) {
  FakeRuntime rt;  // outer 15000 x 11520; the client area is 14880 x 11115
  for (int tick = 0; tick < 20; ++tick)
    SprayDots(rt);
  int beyond_right = 0, beyond_bottom = 0;
  for (const auto& p : rt.log.plots) {
    ASSERT_GE(p.x, 0.0f);
    ASSERT_LT(p.x, 15000.0f);
    ASSERT_LT(p.y, 11520.0f);
    beyond_right += p.x >= 14880.0f ? 1 : 0;
    beyond_bottom += p.y >= 11115.0f ? 1 : 0;
  }
  // 8060 points: 0.8% and 3.5% expected beyond the right and bottom edges.
  EXPECT_NEAR(beyond_right, 64, 30);
  EXPECT_NEAR(beyond_bottom, 283, 60);
}

TEST(DotSpray, AFaultEndsTheHandlerWhereItStands) {
  {
    FakeRuntime rt;
    rt.faults.plot_at = 7;
    EXPECT_THROW(SprayDots(rt), RunTimeError);
    EXPECT_EQ(rt.log.plots.size(), 7u);
    EXPECT_EQ(rt.log.random_draws, 8u * 5u);  // the failing point drew its numbers first
  }
  {
    FakeRuntime rt;
    rt.faults.size_read_at = 5;  // the third point's height
    EXPECT_THROW(SprayDots(rt), RunTimeError);
    EXPECT_EQ(rt.log.plots.size(), 2u);
    EXPECT_EQ(rt.log.random_draws, 2u * 5u + 1u);
  }
  {
    // A random number far outside [0, 1) drives a channel past 16 bits.
    FakeRuntime rt;
    rt.randoms = {0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 200.0f};
    try {
      SprayDots(rt);
      FAIL() << "no error";
    } catch (const RunTimeError& e) {
      EXPECT_EQ(e.kind(), RunTimeError::Kind::kOverflow);
    }
    EXPECT_EQ(rt.log.plots.size(), 1u);
  }
}

}  // namespace
}  // namespace glimmer
