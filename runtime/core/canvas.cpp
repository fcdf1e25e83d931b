#include "runtime/core/canvas.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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

void Canvas::SetLayout(PixelLayout layout) {
  if (layout.red_shift == layout_.red_shift && layout.green_shift == layout_.green_shift &&
      layout.blue_shift == layout_.blue_shift && layout.alpha_mask == layout_.alpha_mask) {
    return;
  }
  // Re-encode what is stored so that no point is lost.
  for (std::uint32_t& p : pixels_) {
    const std::uint32_t r = (p >> layout_.red_shift) & 0xffu;
    const std::uint32_t g = (p >> layout_.green_shift) & 0xffu;
    const std::uint32_t b = (p >> layout_.blue_shift) & 0xffu;
    p = (r << layout.red_shift) | (g << layout.green_shift) | (b << layout.blue_shift) |
        layout.alpha_mask;
  }
  layout_ = layout;
}

void Canvas::SetVisibleSize(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width > cap_width_ || height > cap_height_) {
    const int new_w = std::max(width, cap_width_);
    const int new_h = std::max(height, cap_height_);
    std::vector<std::uint32_t> grown(
        static_cast<std::size_t>(new_w) * static_cast<std::size_t>(new_h), layout_.alpha_mask);
    for (int y = 0; y < cap_height_; ++y) {
      std::memcpy(&grown[static_cast<std::size_t>(y) * static_cast<std::size_t>(new_w)],
                  &pixels_[static_cast<std::size_t>(y) * stride_],
                  static_cast<std::size_t>(cap_width_) * sizeof(std::uint32_t));
    }
    pixels_.swap(grown);
    cap_width_ = new_w;
    cap_height_ = new_h;
    stride_ = static_cast<std::size_t>(new_w);
  }
  width_ = width;
  height_ = height;
  vis_width_ = width;
  vis_height_ = height;
  mirror_ = nullptr;
  mirror_pitch_ = 0;
}

void Canvas::Rescale(double scale) {
  const double old_scale = mapping_.scale();
  mapping_.SetScale(scale);
  const double ratio = mapping_.scale() / old_scale;
  if (ratio == 1.0) return;
  auto scaled = [ratio](int n) { return static_cast<int>(std::lround(n * ratio)); };
  const int new_w = scaled(cap_width_);
  const int new_h = scaled(cap_height_);
  // The old pixels a new one covers: [first, last] in each direction.
  auto span = [ratio](int n, int limit) {
    const int first = std::min(static_cast<int>(std::floor(n / ratio)), limit - 1);
    const int last = std::max(first, static_cast<int>(std::ceil((n + 1) / ratio)) - 1);
    return std::make_pair(first, std::min(last, limit - 1));
  };
  std::vector<std::uint32_t> resized(
      static_cast<std::size_t>(new_w) * static_cast<std::size_t>(new_h), layout_.alpha_mask);
  for (int y = 0; y < new_h; ++y) {
    const auto [y0, y1] = span(y, cap_height_);
    for (int x = 0; x < new_w; ++x) {
      const auto [x0, x1] = span(x, cap_width_);
      std::uint32_t pixel = layout_.alpha_mask;
      for (int oy = y0; oy <= y1; ++oy) {
        for (int ox = x0; ox <= x1; ++ox) {
          if ((At(ox, oy) & ~layout_.alpha_mask) != 0) pixel = At(ox, oy);
        }
      }
      resized[static_cast<std::size_t>(y) * static_cast<std::size_t>(new_w) +
              static_cast<std::size_t>(x)] = pixel;
    }
  }
  pixels_.swap(resized);
  cap_width_ = new_w;
  cap_height_ = new_h;
  stride_ = static_cast<std::size_t>(new_w);
  SetVisibleSize(std::min(scaled(width_), new_w), std::min(scaled(height_), new_h));
}

void Canvas::CopyVisibleTo(std::uint32_t* pixels, int pitch_pixels) const {
  for (int y = 0; y < height_; ++y) {
    std::memcpy(pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(pitch_pixels),
                &pixels_[static_cast<std::size_t>(y) * stride_],
                static_cast<std::size_t>(width_) * sizeof(std::uint32_t));
  }
}

std::size_t Canvas::LitCount() const {
  std::size_t lit = 0;
  for (int y = 0; y < height_; ++y) {
    for (int x = 0; x < width_; ++x)
      if ((At(x, y) & ~layout_.alpha_mask) != 0) ++lit;
  }
  return lit;
}

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
  for (const auto& [px, py] : drawn_) {
    if (px < canvas.width() && py < canvas.height()) at(px, py) = canvas.At(px, py);
  }
  drawn_.clear();
  for (const auto& [dx, dy] : offsets_) {
    const std::int64_t px = x + dx;
    const std::int64_t py = y + dy;
    if (px < 0 || py < 0 || px >= canvas.width() || py >= canvas.height()) continue;
    at(static_cast<int>(px), static_cast<int>(py)) = pixel;
    drawn_.emplace_back(static_cast<int>(px), static_cast<int>(py));
  }
}

}  // namespace glimmer
