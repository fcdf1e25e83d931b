// Finds the ball's white outline in a captured window.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "tests/support/x11_probe.h"

namespace glimmer::testing {

// The top-left corner of the bounding box of a ball drawn with `offsets`
// (pixel offsets within its box) in pure white, searching every position at
// which at least half of the ball lies inside the image. Points are white
// only rarely and never in a ball's shape, so a full match is the ball.
inline std::optional<std::pair<int, int>> FindBall(const Image& image,
                                                   const std::vector<std::pair<int, int>>& offsets,
                                                   int diameter) {
  constexpr std::uint32_t kWhite = 0xffffffu;
  for (int y = -diameter; y < image.height; ++y) {
    for (int x = -diameter; x < image.width; ++x) {
      std::size_t inside = 0;
      bool all_white = true;
      for (auto [dx, dy] : offsets) {
        const int px = x + dx, py = y + dy;
        if (px < 0 || py < 0 || px >= image.width || py >= image.height) continue;
        ++inside;
        if (image.at(px, py) != kWhite) {
          all_white = false;
          break;
        }
      }
      if (all_white && inside * 2 >= offsets.size()) return std::make_pair(x, y);
    }
  }
  return std::nullopt;
}

}  // namespace glimmer::testing
