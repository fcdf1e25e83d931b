#include "runtime/core/canvas.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
#include <sys/mman.h>
#define GLIMMER_LARGE_PAGES 1
#endif

namespace glimmer {
namespace {

#ifdef GLIMMER_LARGE_PAGES
constexpr std::size_t kLargePage = std::size_t{2} << 20;
#endif

}  // namespace

void* AllocatePixels(std::size_t bytes) {
#ifdef GLIMMER_LARGE_PAGES
  if (bytes >= kLargePage) {
    // Whole large pages, so that no 4 KB page is left at either end.
    const std::size_t rounded = (bytes + kLargePage - 1) / kLargePage * kLargePage;
    void* p = ::operator new (rounded, std::align_val_t{kLargePage});
    // Only a request: without it the pages stay small, which is slower, not
    // wrong.
    (void)madvise(p, rounded, MADV_HUGEPAGE);
    return p;
  }
#endif
  return ::operator new(bytes);
}

void FreePixels(void* p, std::size_t bytes) noexcept {
#ifdef GLIMMER_LARGE_PAGES
  if (bytes >= kLargePage) {
    ::operator delete (p, std::align_val_t{kLargePage});
    return;
  }
#endif
  (void)bytes;
  ::operator delete(p);
}

void Canvas::SetLayout(PixelLayout layout) {
  if (layout == layout_) return;
  // Re-encode what is stored so that no point is lost.
  for (std::uint32_t& p : pixels_)
    p = layout.Encode(layout_.Decode(p));
  layout_ = layout;
}

void Canvas::SetVisibleSize(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width > cap_width_ || height > cap_height_) {
    const int new_w = std::max(width, cap_width_);
    const int new_h = std::max(height, cap_height_);
    Pixels grown(static_cast<std::size_t>(new_w) * static_cast<std::size_t>(new_h),
                 layout_.alpha_mask);
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
  Pixels resized(static_cast<std::size_t>(new_w) * static_cast<std::size_t>(new_h),
                 layout_.alpha_mask);
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
  SetVisibleSize(std::min(scaled(width()), new_w), std::min(scaled(height()), new_h));
}

void Canvas::CopyVisibleTo(std::uint32_t* pixels, int pitch_pixels) const {
  for (int y = 0; y < height(); ++y) {
    std::memcpy(pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(pitch_pixels),
                &pixels_[static_cast<std::size_t>(y) * stride_],
                static_cast<std::size_t>(width()) * sizeof(std::uint32_t));
  }
}

}  // namespace glimmer
