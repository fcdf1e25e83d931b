#include "runtime/core/twip_mapping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace glimmer {
namespace {

TEST(TwipMapping, EachMultipleOfTheTwipsPerPixelStartsItsOwnPixel) {
  for (double scale : {1.0, 1.25, 2.0}) {
    const TwipMapping m(scale);
    const double tpp = 15.0 / scale;
    for (int px = 0; px < 3000; ++px) {
      const double edge = px * tpp;
      ASSERT_EQ(m.PixelOf(edge), px) << "scale " << scale;
      // The Single just below the edge belongs to the pixel before.
      const float below = std::nextafter(static_cast<float>(edge), 0.0f);
      // And the same on the negative side, where the ball goes.
      ASSERT_EQ(m.PixelOf(-edge), -px) << "scale " << scale;
      if (px > 0) {
        ASSERT_EQ(m.PixelOf(below), px - 1) << "scale " << scale;
        ASSERT_EQ(m.PixelOf(-static_cast<double>(below)), -px) << "scale " << scale;
      }
    }
  }
}

TEST(TwipMapping, SizesAtCommonScales) {
  EXPECT_EQ(TwipMapping(1.0).PixelLength(14880), 992);
  EXPECT_EQ(TwipMapping(1.0).PixelLength(11115), 741);
  EXPECT_EQ(TwipMapping(1.0).PixelLength(495), 33);
  EXPECT_EQ(TwipMapping(1.25).PixelLength(14880), 1240);
  EXPECT_EQ(TwipMapping(2.0).PixelLength(14880), 1984);
  EXPECT_EQ(TwipMapping(2.0).PixelLength(11115), 1482);
  EXPECT_EQ(TwipMapping(2.0).PixelLength(495), 66);
  EXPECT_EQ(TwipMapping(0.0).scale(), 1.0);  // nonsense scales fall back to 1
  EXPECT_EQ(TwipMapping(1.0).PixelOf(-495), -33);
  EXPECT_EQ(TwipMapping(1.0).PixelOf(-1), -1);
  EXPECT_EQ(TwipMapping(1.0).PixelOf(1e30), 1 << 30);  // clamped, no overflow
  EXPECT_EQ(TwipMapping(1.0).PixelOf(std::numeric_limits<double>::quiet_NaN()), -(1 << 30));
}

}  // namespace
}  // namespace glimmer
