#include "runtime/core/canvas.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <tuple>
#include <vector>

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
  // Growing past 2 MB moves the storage to large pages where Linux has them.
  c.SetVisibleSize(1000, 800);
  EXPECT_EQ(c.At(99, 79), 0xff0000u);
  EXPECT_EQ(c.At(299, 199), 0xff0000u);
  EXPECT_EQ(Lit(c), 3u);
  c.Plot(999 * 15.0f, 799 * 15.0f, kBlue);
  EXPECT_EQ(c.At(999, 799), 0x0000ffu);
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

TEST(Canvas, LogsEachPlotWithItsPixelAndSaysWhenAReaderFellTooFarBehind) {
  Canvas c;
  c.SetVisibleSize(10, 10);
  Canvas::PlotLog log;
  c.SetPlotLog(&log);
  c.Plot(15.0f, 30.0f, kRed);
  c.Plot(-1.0f, 0.0f, kRed);  // dropped, so not logged
  c.Plot(45.0f, 0.0f, 0x00ff00u);
  std::vector<std::tuple<int, int, std::uint32_t>> got;
  log.ForEachSince(0, [&](const Canvas::PlotLog::Entry& e) {
    got.emplace_back(e.x, e.y, e.pixel);
    return true;
  });
  EXPECT_EQ(got, (std::vector<std::tuple<int, int, std::uint32_t>>{{1, 2, c.ToPixel(kRed)},
                                                                   {3, 0, c.ToPixel(0x00ff00u)}}));
  // A reader at the start is served until the ring has gone round past it.
  for (std::size_t i = 2; i < Canvas::PlotLog::kCapacity; ++i)
    c.Plot(0.0f, 0.0f, kRed);
  EXPECT_TRUE(log.Holds(0));
  c.Plot(0.0f, 0.0f, kRed);
  EXPECT_FALSE(log.Holds(0));
  EXPECT_TRUE(log.Holds(1));
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

}  // namespace
}  // namespace glimmer
