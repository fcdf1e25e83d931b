#pragma once

#include <cstdint>

#include "runtime/core/types.h"

namespace glimmer {

// Maps twips to device pixels at a display scale (1 at 96 dpi, 2 at 192 dpi).
class TwipMapping {
 public:
  explicit TwipMapping(double scale = 1.0) { SetScale(scale); }
  void SetScale(double scale);
  double scale() const { return scale_; }
  double twips_per_pixel() const { return kTwipsPerPixelAt96Dpi / scale_; }
  // Pixels per twip, nudged one ulp away from zero so that a multiple of the
  // twips per pixel lands on its own pixel rather than one short; the nudge is
  // far below the spacing of Singles, so it never moves any other value.
  double pixels_per_twip() const { return pixels_per_twip_; }
  // The device pixel that contains a coordinate in twips, clamped far outside
  // any window so that huge coordinates stay representable.
  std::int64_t PixelOf(double twips) const;
  // The number of whole pixels that a length in twips covers, at least 1.
  int PixelLength(double twips) const;
  // The ball's line: one device pixel per pixel at 96 dpi, at least one.
  int LineThickness() const;

 private:
  double scale_ = 1.0;
  double pixels_per_twip_ = 1.0 / 15.0;
  double pixels_per_twip_down_ = 1.0 / 15.0;  // the same nudge, for negatives
};

}  // namespace glimmer
