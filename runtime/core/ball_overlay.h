#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "runtime/core/canvas.h"

namespace glimmer {

// The ball's outline, drawn over a copy of the canvas (the window surface) and
// never into the canvas itself. Moving it puts back the canvas pixels under
// the old outline, so a frame costs the outline's pixels, not the window's.
class BallOverlay {
 public:
  // Diameter and line thickness in device pixels.
  void SetShape(int diameter, int thickness);
  int diameter() const { return diameter_; }

  // Draws the outline with its bounding box at pixel (x, y) into `target`, a
  // buffer of the canvas's visible size, after restoring the pixels under the
  // previous outline from the canvas.
  void Draw(const Canvas& canvas, std::uint32_t* target, int pitch_pixels, std::int64_t x,
            std::int64_t y, std::uint32_t pixel);
  // The target was repainted from the canvas as a whole: nothing to restore.
  void Forget() { drawn_.clear(); }

 private:
  std::vector<std::pair<int, int>> offsets_;
  int diameter_ = 0;
  std::vector<std::pair<int, int>> drawn_;  // absolute pixels of the last outline
};

}  // namespace glimmer
