// The ball as the program draws it, for tests to look for: its pixels within
// its box, read back from a BallOverlay drawn over black.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "runtime/core/ball_overlay.h"
#include "runtime/core/canvas.h"

namespace glimmer::testing {

inline std::vector<std::pair<int, int>> BallOffsets(int diameter, int thickness) {
  Canvas black;
  black.SetVisibleSize(diameter, diameter);
  std::vector<std::uint32_t> drawn(static_cast<std::size_t>(diameter * diameter));
  BallOverlay ball;
  ball.SetShape(diameter, thickness);
  ball.Draw(black, drawn.data(), diameter, 0, 0, 0xffffffu);
  std::vector<std::pair<int, int>> offsets;
  for (int i = 0; i < diameter * diameter; ++i)
    if (drawn[static_cast<std::size_t>(i)] != 0) offsets.emplace_back(i % diameter, i / diameter);
  return offsets;
}

}  // namespace glimmer::testing
