// The persistent picture of every point plotted so far, in device pixels.
//
// Nothing ever clears it. Storage grows with the window and never shrinks, so
// shrinking the window hides points and growing it shows them again. Each plot
// can also be written straight into a mirror (the window surface), which then
// needs no per-frame copy of the whole canvas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "runtime/core/types.h"

namespace glimmer {

// Where the 8-bit channels sit in a 32-bit device pixel.
struct PixelLayout {
  unsigned red_shift = 16;
  unsigned green_shift = 8;
  unsigned blue_shift = 0;
  std::uint32_t alpha_mask = 0;
};

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
  // The ring's line: one device pixel per pixel at 96 dpi, at least one.
  int LineThickness() const;

 private:
  double scale_ = 1.0;
  double pixels_per_twip_ = 1.0 / 15.0;
  double pixels_per_twip_down_ = 1.0 / 15.0;  // the same nudge, for negatives
};

class Canvas {
 public:
  explicit Canvas(PixelLayout layout = {}) : layout_(layout) {}

  void SetLayout(PixelLayout layout);
  const PixelLayout& layout() const { return layout_; }
  void SetScale(double scale) { mapping_.SetScale(scale); }
  const TwipMapping& mapping() const { return mapping_; }
  // A new display scale while running: every stored pixel keeps its place and
  // size on the screen (at 1x -> 2x each becomes a 2x2 block; going down, a
  // pixel is lit where any pixel it covers was), and new points are one device
  // pixel. The visible size is scaled alike; the mirror is dropped.
  void Rescale(double scale);

  // The visible client area in device pixels. Grows the storage as needed,
  // keeping every stored pixel; drops the mirror, which no longer fits.
  void SetVisibleSize(int width, int height);
  int width() const { return width_; }
  int height() const { return height_; }
  int capacity_width() const { return cap_width_; }
  int capacity_height() const { return cap_height_; }

  // A buffer of the visible size that every plot is also written to.
  void SetMirror(std::uint32_t* pixels, int pitch_pixels) {
    mirror_ = pixels;
    mirror_pitch_ = static_cast<std::size_t>(pitch_pixels);
  }
  // Copies the visible part into a buffer of the visible size.
  void CopyVisibleTo(std::uint32_t* pixels, int pitch_pixels) const;

  // Where plots landed since the log was last cleared, for targets that are
  // not a mirror. Past `cap` points it only notes that it overflowed.
  struct PlotLog {
    std::vector<std::pair<int, int>> points;
    std::size_t cap = 0;
    bool overflowed = false;
    void Clear() {
      points.clear();
      overflowed = false;
    }
  };
  void SetPlotLog(PlotLog* log) { log_ = log; }

  // One point at (x, y) twips, client coordinates. Points outside the visible
  // area are dropped.
  void Plot(Single x, Single y, Colour colour) {
    const double px = static_cast<double>(x) * mapping_.pixels_per_twip();
    const double py = static_cast<double>(y) * mapping_.pixels_per_twip();
    // Written so that NaN fails too.
    if (!(px >= 0.0 && py >= 0.0 && px < vis_width_ && py < vis_height_)) return;
    const auto ix = static_cast<std::size_t>(px);
    const auto iy = static_cast<std::size_t>(py);
    const std::uint32_t pixel = ToPixel(colour);
    pixels_[iy * stride_ + ix] = pixel;
    if (mirror_ != nullptr) mirror_[iy * mirror_pitch_ + ix] = pixel;
    if (log_ != nullptr) Log(static_cast<int>(ix), static_cast<int>(iy));
  }

  std::uint32_t ToPixel(Colour colour) const {
    const std::uint32_t r = colour & 0xffu;
    const std::uint32_t g = (colour >> 8) & 0xffu;
    const std::uint32_t b = (colour >> 16) & 0xffu;
    return (r << layout_.red_shift) | (g << layout_.green_shift) | (b << layout_.blue_shift) |
           layout_.alpha_mask;
  }
  // The stored pixel at (x, y); 0 (black) within the storage where nothing
  // was plotted. Requires 0 <= x < capacity_width, 0 <= y < capacity_height.
  std::uint32_t At(int x, int y) const {
    return pixels_[static_cast<std::size_t>(y) * stride_ + static_cast<std::size_t>(x)];
  }
  std::size_t LitCount() const;

 private:
  void Log(int x, int y) {
    if (log_->points.size() < log_->cap) {
      log_->points.emplace_back(x, y);
    } else {
      log_->overflowed = true;
    }
  }

  PixelLayout layout_;
  TwipMapping mapping_;
  std::vector<std::uint32_t> pixels_;
  std::size_t stride_ = 0;
  int cap_width_ = 0;
  int cap_height_ = 0;
  int width_ = 0;
  int height_ = 0;
  double vis_width_ = 0.0;
  double vis_height_ = 0.0;
  std::uint32_t* mirror_ = nullptr;
  std::size_t mirror_pitch_ = 0;
  PlotLog* log_ = nullptr;
};

// The ball's outline, drawn over a copy of the canvas (the window surface) and
// never into the canvas itself. Moving it puts back the canvas pixels under
// the old outline, so a frame costs the outline's pixels, not the window's.
class BallOverlay {
 public:
  // Diameter and line thickness in device pixels.
  void SetShape(int diameter, int thickness);
  const std::vector<std::pair<int, int>>& offsets() const { return offsets_; }
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
