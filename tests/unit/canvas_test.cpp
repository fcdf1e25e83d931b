#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <set>
#include <vector>

#include "runtime/core/canvas.h"
#include "runtime/core/ring.h"
#include "tests/support/ring_offsets.h"

namespace glimmer {
namespace {

constexpr Colour kRed = 255u;  // red + 256 green + 65536 blue
constexpr Colour kBlue = 255u * 65536u;

// The lit pixels of the visible area, as a frame would show them.
std::size_t Lit(const Canvas& c) {
  std::vector<std::uint32_t> shown(static_cast<std::size_t>(c.width() * c.height()));
  c.CopyVisibleTo(shown.data(), c.width());
  return shown.size() - static_cast<std::size_t>(std::count(shown.begin(), shown.end(), 0u));
}

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

TEST(Canvas, PlotsIntoTheContainingPixelAndClipsToTheVisibleArea) {
  Canvas c;
  c.SetVisibleSize(992, 741);
  c.Plot(0.0f, 0.0f, kRed);
  c.Plot(14.99f, 29.0f, kBlue);
  c.Plot(14879.99f, 11114.99f, kRed);
  EXPECT_EQ(c.At(0, 0), 0xff0000u);  // XRGB layout by default
  EXPECT_EQ(c.At(0, 1), 0x0000ffu);
  EXPECT_EQ(c.At(991, 740), 0xff0000u);
  EXPECT_EQ(Lit(c), 3u);
  // On or past the right and bottom edges, negative, or not a number.
  for (auto [x, y] :
       std::vector<std::pair<float, float>>{{14880.0f, 0.0f},
                                            {0.0f, 11115.0f},
                                            {14999.0f, 11519.0f},
                                            {-0.5f, 10.0f},
                                            {10.0f, -0.5f},
                                            {std::numeric_limits<float>::quiet_NaN(), 1.0f},
                                            {1e30f, 1e30f}}) {
    c.Plot(x, y, kBlue);
  }
  EXPECT_EQ(Lit(c), 3u);
}

TEST(Canvas, ScalesPointsToDevicePixels) {
  Canvas c;
  c.Rescale(2.0);
  c.SetVisibleSize(1984, 1482);
  c.Plot(7.5f, 7.49f, kRed);
  c.Plot(14879.0f, 11114.0f, kRed);
  EXPECT_EQ(c.At(1, 0), 0xff0000u);
  EXPECT_EQ(c.At(1983, 1481), 0xff0000u);
  EXPECT_EQ(Lit(c), 2u);
}

TEST(Canvas, KeepsEveryPointThroughShrinkAndRegrow) {
  Canvas c;
  c.SetVisibleSize(100, 80);
  c.Plot(99 * 15.0f, 79 * 15.0f, kRed);
  c.Plot(10 * 15.0f, 10 * 15.0f, kBlue);
  c.SetVisibleSize(20, 20);
  EXPECT_EQ(Lit(c), 1u);                 // the far point is hidden, not lost (below)
  c.Plot(99 * 15.0f, 5 * 15.0f, kBlue);  // outside the shrunken window: dropped
  c.SetVisibleSize(300, 10);             // wider but shorter than before
  c.SetVisibleSize(300, 200);
  EXPECT_EQ(c.At(99, 79), 0xff0000u);
  EXPECT_EQ(c.At(10, 10), 0x0000ffu);
  EXPECT_EQ(c.At(99, 5), 0u);
  EXPECT_EQ(Lit(c), 2u);
  c.Plot(299 * 15.0f, 199 * 15.0f, kRed);  // the storage grew to the largest size
  EXPECT_EQ(c.At(299, 199), 0xff0000u);
  // A degenerate size is harmless.
  c.SetVisibleSize(0, 0);
  c.Plot(0.0f, 0.0f, kRed);
  c.SetVisibleSize(300, 200);
  EXPECT_EQ(Lit(c), 3u);
}

// The window moved to an output of another scale: what is on the screen stays
// where it was and as large, and new points are one device pixel.
TEST(Canvas, RescaleKeepsOldPointsInPlaceAndPlotsNewOnesAtOneDevicePixel) {
  Canvas c;
  c.SetVisibleSize(10, 8);
  c.Plot(3 * 15.0f, 2 * 15.0f, kRed);
  c.Plot(9 * 15.0f, 7 * 15.0f, kBlue);  // the far corner
  c.Rescale(2.0);
  EXPECT_EQ(c.width(), 20);
  EXPECT_EQ(c.height(), 16);
  EXPECT_EQ(Lit(c), 8u);  // two 2x2 blocks
  for (int dy = 0; dy < 2; ++dy) {
    for (int dx = 0; dx < 2; ++dx) {
      EXPECT_EQ(c.At(6 + dx, 4 + dy), 0xff0000u);
      EXPECT_EQ(c.At(18 + dx, 14 + dy), 0x0000ffu);
    }
  }
  c.Plot(1 * 15.0f, 1 * 15.0f, kRed);  // twip (15, 15) is device pixel (2, 2) now
  EXPECT_EQ(c.At(2, 2), 0xff0000u);
  EXPECT_EQ(c.At(3, 3), 0u);
  EXPECT_EQ(Lit(c), 9u);
  // Back to 1x: a pixel is lit where any of those it covers was, so the
  // single new point survives rather than being sampled away.
  c.Rescale(1.0);
  EXPECT_EQ(c.width(), 10);
  EXPECT_EQ(c.At(1, 1), 0xff0000u);
  EXPECT_EQ(c.At(3, 2), 0xff0000u);
  EXPECT_EQ(c.At(9, 7), 0x0000ffu);
  EXPECT_EQ(Lit(c), 3u);
}

TEST(Canvas, LogsWherePlotsLandUpToItsCap) {
  Canvas c;
  c.SetVisibleSize(10, 10);
  Canvas::PlotLog log;
  log.cap = 2;
  c.SetPlotLog(&log);
  c.Plot(15.0f, 30.0f, kRed);
  c.Plot(-1.0f, 0.0f, kRed);  // dropped, so not logged
  c.Plot(45.0f, 0.0f, kRed);
  EXPECT_EQ(log.points, (std::vector<std::pair<int, int>>{{1, 2}, {3, 0}}));
  EXPECT_FALSE(log.overflowed);
  c.Plot(0.0f, 0.0f, kRed);
  EXPECT_TRUE(log.overflowed);
  EXPECT_EQ(log.points.size(), 2u);
}

TEST(Canvas, MirrorsPlotsAndConvertsToTheSurfaceLayout) {
  Canvas c(PixelLayout{0, 8, 16, 0xff000000u});  // ABGR
  c.SetVisibleSize(4, 3);
  std::vector<std::uint32_t> surface(6 * 3, 0x12345678u);  // pitch 6, larger than width
  c.CopyVisibleTo(surface.data(), 6);
  EXPECT_EQ(surface[0], 0xff000000u);
  EXPECT_EQ(surface[4], 0x12345678u);  // beyond the visible width: untouched
  c.SetMirror(surface.data(), 6);
  c.Plot(15.0f, 30.0f, 0x030201u);  // red 1, green 2, blue 3
  EXPECT_EQ(surface[2 * 6 + 1], 0xff030201u);
  EXPECT_EQ(c.At(1, 2), 0xff030201u);
  // Changing the layout re-encodes what is stored.
  c.SetLayout(PixelLayout{16, 8, 0, 0});
  EXPECT_EQ(c.At(1, 2), 0x010203u);
  // A resize drops the mirror, which no longer fits.
  c.SetVisibleSize(8, 8);
  c.Plot(0.0f, 0.0f, kRed);
  EXPECT_EQ(surface[0], 0xff000000u);
}

TEST(BallOverlay, RingIsARoundOutlineInsideItsBox) {
  const auto ring = testing::RingOffsets(33, 1);
  ASSERT_FALSE(ring.empty());
  std::set<std::pair<int, int>> cells(ring.begin(), ring.end());
  for (auto [x, y] : ring) {
    ASSERT_GE(x, 0);
    ASSERT_LT(x, 33);
    ASSERT_GE(y, 0);
    ASSERT_LT(y, 33);
    // Symmetric in both axes.
    EXPECT_TRUE(cells.count({32 - x, y}));
    EXPECT_TRUE(cells.count({x, 32 - y}));
  }
  // It touches all four sides, leaves the centre and the corners empty.
  EXPECT_TRUE(cells.count({16, 0}));
  EXPECT_TRUE(cells.count({0, 16}));
  EXPECT_FALSE(cells.count({16, 16}));
  EXPECT_FALSE(cells.count({0, 0}));
  // Every row it crosses is a closed outline: no more than two runs per row.
  for (int y = 0; y < 33; ++y) {
    int runs = 0;
    for (int x = 0; x < 33; ++x)
      runs += cells.count({x, y}) && !cells.count({x - 1, y}) ? 1 : 0;
    EXPECT_LE(runs, 2) << "row " << y;
    EXPECT_GE(runs, 1) << "row " << y;
  }
  EXPECT_GT(testing::RingOffsets(66, 2).size(), 3 * ring.size());
}

TEST(BallOverlay, DrawsOverACopyAndNeverIntoTheCanvas) {
  Canvas c;
  c.SetVisibleSize(100, 100);
  for (int i = 0; i < 100; ++i)
    c.Plot(i * 15.0f, i * 15.0f, kBlue);  // a diagonal
  std::vector<std::uint32_t> surface(100 * 100);
  c.CopyVisibleTo(surface.data(), 100);
  c.SetMirror(surface.data(), 100);
  std::vector<std::uint32_t> before(100 * 100);
  c.CopyVisibleTo(before.data(), 100);

  BallOverlay ball;
  ball.SetShape(33, 1);
  ball.Draw(c, surface.data(), 100, 0, 0, 0xffffffu);
  std::vector<std::uint32_t> after(100 * 100);
  c.CopyVisibleTo(after.data(), 100);
  EXPECT_EQ(after, before);
  EXPECT_EQ(surface[16], 0xffffffu);  // the top of the ring at (16, 0)
  EXPECT_EQ(c.At(16, 0), 0u);

  // Moving it restores exactly what the canvas holds under the old outline,
  // including a point plotted while the ring covered it.
  c.Plot(16 * 15.0f, 0.0f, kRed);
  ball.Draw(c, surface.data(), 100, 50, 50, 0xffffffu);
  std::vector<std::uint32_t> expected(100 * 100);
  c.CopyVisibleTo(expected.data(), 100);
  for (auto [dx, dy] : testing::RingOffsets(33, 1))
    expected[(50 + dy) * 100 + 50 + dx] = 0xffffffu;
  EXPECT_EQ(surface, expected);

  // Partly outside the window: clipped, nothing written out of bounds.
  ball.Draw(c, surface.data(), 100, -20, 90, 0xffffffu);
  ball.Draw(c, surface.data(), 100, -33, -33, 0xffffffu);
  c.CopyVisibleTo(expected.data(), 100);
  EXPECT_EQ(surface, expected);
}

}  // namespace
}  // namespace glimmer
