#include "runtime/core/ball_overlay.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "runtime/core/canvas.h"
#include "tests/support/ball_offsets.h"

namespace glimmer {
namespace {

constexpr Colour kRed = 255u;  // red + 256 green + 65536 blue
constexpr Colour kBlue = 255u * 65536u;

TEST(BallOverlay, BallIsARoundOutlineInsideItsBox) {
  const auto ball = testing::BallOffsets(33, 1);
  ASSERT_FALSE(ball.empty());
  std::set<std::pair<int, int>> cells(ball.begin(), ball.end());
  for (auto [x, y] : ball) {
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
  EXPECT_GT(testing::BallOffsets(66, 2).size(), 3 * ball.size());
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
  EXPECT_EQ(surface[16], 0xffffffu);  // the top of the ball at (16, 0)
  EXPECT_EQ(c.At(16, 0), 0u);

  // Moving it restores exactly what the canvas holds under the old outline,
  // including a point plotted while the ball covered it.
  c.Plot(16 * 15.0f, 0.0f, kRed);
  ball.Draw(c, surface.data(), 100, 50, 50, 0xffffffu);
  std::vector<std::uint32_t> expected(100 * 100);
  c.CopyVisibleTo(expected.data(), 100);
  for (auto [dx, dy] : testing::BallOffsets(33, 1))
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
