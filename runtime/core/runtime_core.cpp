#include "runtime/core/runtime_core.h"

#include <algorithm>
#include <chrono>

namespace glimmer {
namespace {

// Plots remembered for buffers that are not the canvas's mirror; past this
// many since a buffer was last drawn, it is drawn whole instead.
constexpr std::size_t kPlotLogCap = 8192;
// Damage is sent in tiles of this many device pixels a side, and as the
// whole window beyond this many tiles.
constexpr int kDamageTile = 32;
constexpr std::size_t kMaxDamageRects = 256;

}  // namespace

void RuntimeCore::Reseed() {
  // The wall clock picks the sequence; browsers give it in whole
  // milliseconds, so the monotonic clock's fraction of one is added. The
  // monotonic clock picks the stream.
  const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  const auto mono = static_cast<std::uint64_t>(Now());
  Seed(static_cast<std::uint64_t>(wall.count()) + mono % 1'000'000u, mono);
}

Nanos RuntimeCore::Now() const {
  return SteadyNow();
}

void RuntimeCore::CreateBall(Single left, Single top, Single width) {
  ball_left_ = left;
  ball_top_ = top;
  ball_width_ = width;
}

void RuntimeCore::SetAssumedFrame(double width_twips, double height_twips) {
  assumed_frame_ = {width_twips, height_twips};
}

void RuntimeCore::SetScale(double scale) {
  const double old_scale = canvas_.mapping().scale();
  canvas_.Rescale(scale);
  if (canvas_.mapping().scale() == old_scale) return;
  plot_log_.Clear();
  for (auto& t : targets_)
    t.full = true;
}

void RuntimeCore::SetClientSize(int width, int height, std::optional<std::pair<int, int>> frame) {
  client_w_ = width;
  client_h_ = height;
  const double tpp = canvas_.mapping().twips_per_pixel();
  const double frame_w = frame ? frame->first * tpp : assumed_frame_.first;
  const double frame_h = frame ? frame->second * tpp : assumed_frame_.second;
  outer_width_ = static_cast<Single>(width * tpp + frame_w);
  outer_height_ = static_cast<Single>(height * tpp + frame_h);
  if (width != canvas_.width() || height != canvas_.height()) {
    canvas_.SetVisibleSize(width, height);
    for (auto& t : targets_)
      t.full = true;
  }
}

void RuntimeCore::ShapeBall() {
  const TwipMapping& m = canvas_.mapping();
  if (shaped_scale_ == m.scale() && shaped_width_ == ball_width_) return;
  shaped_scale_ = m.scale();
  shaped_width_ = ball_width_;
  BallOverlay ball;
  // No ball created yet: no outline to draw.
  ball.SetShape(ball_width_ > 0 ? m.PixelLength(ball_width_) : 0, m.LineThickness());
  // The old outline's pixels are not known to the new shape: repaint whole.
  for (auto& t : targets_) {
    t.overlay = ball;
    t.full = true;
  }
}

void RuntimeCore::CollectMissing() {
  // What was plotted since the last frame is missing from every buffer.
  for (auto& t : targets_) {
    if (t.full) continue;
    if (plot_log_.overflowed || t.missing.size() + plot_log_.points.size() > kPlotLogCap) {
      t.full = true;
      t.missing.clear();
    } else {
      t.missing.insert(t.missing.end(), plot_log_.points.begin(), plot_log_.points.end());
    }
  }
}

void RuntimeCore::Present(FrameSink& sink) {
  const int buffers = std::max(1, sink.Buffers());
  if (buffers != buffers_) {
    buffers_ = buffers;
    targets_.assign(static_cast<std::size_t>(buffers), Target{});
    shaped_width_ = -1;
    // One buffer is the canvas's mirror and takes every plot as it is made;
    // several each need the plots they missed.
    plot_log_.Clear();
    plot_log_.cap = kPlotLogCap;
    canvas_.SetPlotLog(buffers > 1 ? &plot_log_ : nullptr);
  }
  ShapeBall();
  const auto buffer = sink.Acquire();
  if (!buffer) return;  // the plots wait in the log
  if (buffer->width != canvas_.width() || buffer->height != canvas_.height()) {
    canvas_.SetVisibleSize(buffer->width, buffer->height);
    for (auto& t : targets_)
      t.full = true;
  }
  if (buffer->layout != canvas_.layout()) {
    canvas_.SetLayout(buffer->layout);
    for (auto& t : targets_)
      t.full = true;
  }
  CollectMissing();
  Target& t = targets_[static_cast<std::size_t>(std::clamp(buffer->index, 0, buffers - 1))];
  std::uint32_t* pixels = buffer->pixels;
  const auto pitch = static_cast<std::size_t>(buffer->pitch);
  const TwipMapping& m = canvas_.mapping();
  const int diameter = t.overlay.diameter();
  const Rect ball{static_cast<int>(m.PixelOf(ball_left_)), static_cast<int>(m.PixelOf(ball_top_)),
                  diameter, diameter};
  // Damage is what differs from the frame the buffer held: the new points
  // and the ball where it was and where it is.
  damage_.clear();
  if (t.full || buffer->fresh) {
    canvas_.CopyVisibleTo(pixels, buffer->pitch);
    t.overlay.Forget();
    t.full = false;
    if (buffers == 1) canvas_.SetMirror(pixels, buffer->pitch);
  } else if (buffers > 1) {
    const int w = canvas_.width(), h = canvas_.height();
    for (const auto& [x, y] : t.missing) {
      if (x < w && y < h)
        pixels[static_cast<std::size_t>(y) * pitch + static_cast<std::size_t>(x)] =
            canvas_.At(x, y);
    }
    AddNewPointDamage();
    damage_.push_back(last_ball_);
    damage_.push_back(ball);
    if (damage_.size() > kMaxDamageRects) damage_.clear();  // all of it
  }
  t.missing.clear();
  plot_log_.Clear();
  t.overlay.Draw(canvas_, pixels, buffer->pitch, m.PixelOf(ball_left_), m.PixelOf(ball_top_),
                 canvas_.ToPixel(0xffffffu));
  last_ball_ = ball;
  sink.Submit(damage_);
}

void RuntimeCore::AddNewPointDamage() {
  // One rectangle per tile with new points, not per point: each is a request
  // to the compositor, and a flood of them can fill the socket, which
  // libwayland 1.21 treats as a fatal error.
  const int w = canvas_.width(), h = canvas_.height();
  const int tiles_x = (w + kDamageTile - 1) / kDamageTile;
  const int tiles_y = (h + kDamageTile - 1) / kDamageTile;
  damaged_tiles_.assign(static_cast<std::size_t>(tiles_x) * static_cast<std::size_t>(tiles_y),
                        false);
  for (const auto& [x, y] : plot_log_.points) {
    if (x >= w || y >= h) continue;
    const int tx = x / kDamageTile;
    const int ty = y / kDamageTile;
    const auto tile = static_cast<std::size_t>(ty) * static_cast<std::size_t>(tiles_x) +
                      static_cast<std::size_t>(tx);
    if (damaged_tiles_[tile]) continue;
    damaged_tiles_[tile] = true;
    damage_.push_back({tx * kDamageTile, ty * kDamageTile, kDamageTile, kDamageTile});
  }
}

}  // namespace glimmer
