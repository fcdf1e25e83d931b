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

#include "runtime/core/pixel_layout.h"
#include "runtime/core/twip_mapping.h"
#include "runtime/core/types.h"

namespace glimmer {

// Memory for the canvas's pixels. On Linux a canvas of 2 MB or more is laid
// on 2 MB pages (transparent huge pages, asked for with madvise): the spray
// writes to random places all over it, and with 4 KB pages most points of a
// burst land on a page the TLB lost during the wait for the frame, while a
// few large pages stay in it. Elsewhere, or where the kernel refuses, these
// are ordinary pages.
void* AllocatePixels(std::size_t bytes);
void FreePixels(void* p, std::size_t bytes) noexcept;

template <class T>
struct PixelAllocator {
  using value_type = T;
  PixelAllocator() = default;
  template <class U>
  explicit PixelAllocator(const PixelAllocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(AllocatePixels(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { FreePixels(p, n * sizeof(T)); }
  friend bool operator==(const PixelAllocator&, const PixelAllocator&) { return true; }
};

class Canvas {
 public:
  explicit Canvas(PixelLayout layout = {}) : layout_(layout) {}

  void SetLayout(PixelLayout layout);
  const PixelLayout& layout() const { return layout_; }
  const TwipMapping& mapping() const { return mapping_; }
  // A new display scale while running: every stored pixel keeps its place and
  // size on the screen (at 1x -> 2x each becomes a 2x2 block; going down, a
  // pixel is lit where any pixel it covers was), and new points are one device
  // pixel. The visible size is scaled alike; the mirror is dropped.
  void Rescale(double scale);

  // The visible client area in device pixels. Grows the storage as needed,
  // keeping every stored pixel; drops the mirror, which no longer fits.
  void SetVisibleSize(int width, int height);
  int width() const { return static_cast<int>(vis_width_); }
  int height() const { return static_cast<int>(vis_height_); }

  // A buffer of the visible size that every plot is also written to.
  void SetMirror(std::uint32_t* pixels, int pitch_pixels) {
    mirror_ = pixels;
    mirror_pitch_ = static_cast<std::size_t>(pitch_pixels);
  }
  // The mirror plots go to, or null (dropped by a resize or a new scale).
  const std::uint32_t* mirror() const { return mirror_; }
  // Copies the visible part into a buffer of the visible size.
  void CopyVisibleTo(std::uint32_t* pixels, int pitch_pixels) const;

  // Every plot in order, with its pixel, for buffers that are not the
  // mirror: they catch up by writing what was logged since they were last
  // drawn, without reading the canvas. A ring: it keeps the last kCapacity
  // plots, and a reader further behind must copy the canvas whole.
  class PlotLog {
   public:
    struct Entry {
      int x, y;
      std::uint32_t pixel;
    };
    static constexpr std::size_t kCapacity = std::size_t{1} << 16;

    PlotLog() : entries_(kCapacity) {}
    void Add(int x, int y, std::uint32_t pixel) {
      entries_[static_cast<std::size_t>(head_++) & kMask] = {x, y, pixel};
    }
    // How many plots were ever logged: a reader's place in the log.
    std::uint64_t head() const { return head_; }
    // Whether every plot from `place` on is still kept.
    bool Holds(std::uint64_t place) const { return head_ - place <= kCapacity; }
    // Calls f(entry) for each plot from `place` on, oldest first, for as long
    // as it returns true; requires Holds(place).
    template <class F>
    void ForEachSince(std::uint64_t place, F&& f) const {
      for (std::uint64_t i = place; i < head_; ++i)
        if (!f(entries_[static_cast<std::size_t>(i) & kMask])) return;
    }

   private:
    static constexpr std::size_t kMask = kCapacity - 1;
    std::vector<Entry> entries_;
    std::uint64_t head_ = 0;
  };
  void SetPlotLog(PlotLog* log) { log_ = log; }

  // One point at (x, y) twips, client coordinates. Points outside the visible
  // area are dropped.
  void Plot(Single x, Single y, Colour colour) {
    const double px = static_cast<double>(x) * mapping_.pixels_per_twip();
    const double py = static_cast<double>(y) * mapping_.pixels_per_twip();
    // Written so that NaN fails too.
    if (!(px >= 0.0 && py >= 0.0 && px < vis_width_ && py < vis_height_)) return;
    // Truncated to int, which the visible size is: the same whole numbers as
    // truncating to size_t, without that conversion's test and branch for
    // values of 2^63 and more.
    const int ix = static_cast<int>(px);
    const int iy = static_cast<int>(py);
    const std::uint32_t pixel = ToPixel(colour);
    pixels_[Index(iy, stride_) + static_cast<std::size_t>(ix)] = pixel;
    if (mirror_ != nullptr)
      mirror_[Index(iy, mirror_pitch_) + static_cast<std::size_t>(ix)] = pixel;
    if (log_ != nullptr) log_->Add(ix, iy, pixel);
  }

  std::uint32_t ToPixel(Colour colour) const { return layout_.Encode(colour); }
  // The stored pixel at (x, y); 0 (black) within the storage where nothing
  // was plotted. Requires a pixel within the largest size the canvas had.
  std::uint32_t At(int x, int y) const {
    return pixels_[static_cast<std::size_t>(y) * stride_ + static_cast<std::size_t>(x)];
  }

 private:
  static std::size_t Index(int row, std::size_t pitch) {
    return static_cast<std::size_t>(row) * pitch;
  }

  PixelLayout layout_;
  TwipMapping mapping_;
  using Pixels = std::vector<std::uint32_t, PixelAllocator<std::uint32_t>>;
  Pixels pixels_;
  std::size_t stride_ = 0;
  int cap_width_ = 0;
  int cap_height_ = 0;
  // The visible size, as Plot compares coordinates with it.
  double vis_width_ = 0.0;
  double vis_height_ = 0.0;
  std::uint32_t* mirror_ = nullptr;
  std::size_t mirror_pitch_ = 0;
  PlotLog* log_ = nullptr;
};

}  // namespace glimmer
