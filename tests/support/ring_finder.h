// Finds the ball's white outline in a captured window.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "tests/support/x11_probe.h"

namespace glimmer::testing {

// The top-left corner of the bounding box of a ring drawn with `offsets`
// (pixel offsets within its box) in pure white, searching every position at
// which at least half of the ring lies inside the image. Points are white
// only rarely and never in a ring's shape, so a full match is the ball.
std::optional<std::pair<int, int>> FindRing(const Image& image,
                                            const std::vector<std::pair<int, int>>& offsets,
                                            int diameter);

}  // namespace glimmer::testing
