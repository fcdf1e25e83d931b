#include "runtime/core/ball_overlay.h"

#include <algorithm>
#include <cmath>

namespace glimmer {

void BallOverlay::SetShape(int diameter, int thickness) {
  offsets_.clear();
  drawn_.clear();
  diameter_ = std::max(diameter, 0);
  if (diameter <= 0) return;
  thickness = std::clamp(thickness, 1, diameter);
  // A pixel belongs to the outline when its centre lies within the band of
  // the given thickness just inside the circle that fills the box.
  const double r = diameter / 2.0;
  for (int y = 0; y < diameter; ++y) {
    for (int x = 0; x < diameter; ++x) {
      const double d = std::hypot(x + 0.5 - r, y + 0.5 - r);
      if (d <= r && d > r - thickness) offsets_.emplace_back(x, y);
    }
  }
}

void BallOverlay::Draw(const Canvas& canvas, std::uint32_t* target, int pitch_pixels,
                       std::int64_t x, std::int64_t y, std::uint32_t pixel) {
  const auto pitch = static_cast<std::size_t>(pitch_pixels);
  auto at = [&](int px, int py) -> std::uint32_t& {
    return target[static_cast<std::size_t>(py) * pitch + static_cast<std::size_t>(px)];
  };
  const int w = canvas.width(), h = canvas.height();
  for (const auto& [px, py] : drawn_) {
    if (px < w && py < h) at(px, py) = canvas.At(px, py);
  }
  drawn_.clear();
  for (const auto& [dx, dy] : offsets_) {
    const std::int64_t px = x + dx;
    const std::int64_t py = y + dy;
    if (px < 0 || py < 0 || px >= w || py >= h) continue;
    at(static_cast<int>(px), static_cast<int>(py)) = pixel;
    drawn_.emplace_back(static_cast<int>(px), static_cast<int>(py));
  }
}

}  // namespace glimmer
