#include "runtime/core/twip_mapping.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace glimmer {

void TwipMapping::SetScale(double scale) {
  scale_ = scale > 0.0 && std::isfinite(scale) ? scale : 1.0;
  pixels_per_twip_ =
      std::nextafter(scale_ / kTwipsPerPixelAt96Dpi, std::numeric_limits<double>::infinity());
  pixels_per_twip_down_ = std::nextafter(scale_ / kTwipsPerPixelAt96Dpi, 0.0);
}

std::int64_t TwipMapping::PixelOf(double twips) const {
  constexpr double kFar = 1 << 30;
  const double p = std::floor(twips * (twips >= 0.0 ? pixels_per_twip_ : pixels_per_twip_down_));
  if (!(p > -kFar)) return -static_cast<std::int64_t>(kFar);  // also NaN
  if (p > kFar) return static_cast<std::int64_t>(kFar);
  return static_cast<std::int64_t>(p);
}

int TwipMapping::PixelLength(double twips) const {
  return std::max(1, static_cast<int>(std::lround(twips / twips_per_pixel())));
}

int TwipMapping::LineThickness() const {
  return std::max(1, static_cast<int>(std::lround(scale_)));
}

}  // namespace glimmer
