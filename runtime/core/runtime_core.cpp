#include "runtime/core/runtime_core.h"

#include <algorithm>
#include <chrono>

namespace glimmer {
namespace {

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
  // The logged plots are at the old scale.
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

void RuntimeCore::DropMirror() {
  if (mirror_ >= 0 && canvas_.mirror() != nullptr)
    targets_[static_cast<std::size_t>(mirror_)].synced = plot_log_.head();
  mirror_ = -1;
  canvas_.SetMirror(nullptr, 0);
  canvas_.SetPlotLog(&plot_log_);
}

void RuntimeCore::CatchUp(Target& t) {
  std::uint32_t* pixels = t.buffer.pixels;
  const auto pitch = static_cast<std::size_t>(t.buffer.pitch);
  const int w = canvas_.width(), h = canvas_.height();
  // Writes only, in the order plotted: the last plot at a pixel wins, as in
  // the canvas.
  plot_log_.ForEachSince(t.synced, [&](const Canvas::PlotLog::Entry& e) {
    if (e.x < w && e.y < h)
      pixels[static_cast<std::size_t>(e.y) * pitch + static_cast<std::size_t>(e.x)] = e.pixel;
    return true;
  });
  replayed_points_ += plot_log_.head() - t.synced;
  t.synced = plot_log_.head();
}

void RuntimeCore::Reclaim(FrameSink& sink) {
  if (last_shown_ < 0 || (mirror_ >= 0 && canvas_.mirror() != nullptr)) return;
  Target& t = targets_[static_cast<std::size_t>(last_shown_)];
  const FrameSink::Buffer& b = t.buffer;
  if (t.full || b.pixels == nullptr || b.width != canvas_.width() || b.height != canvas_.height() ||
      b.layout != canvas_.layout() || !plot_log_.Holds(t.synced) || !sink.Writable(b)) {
    return;
  }
  CatchUp(t);
  canvas_.SetMirror(b.pixels, b.pitch);
  mirror_ = last_shown_;
  // A lone buffer drawn directly needs no log until it is shown again; the
  // damage of the next frame is then the whole surface.
  if (buffers_ == 1) {
    canvas_.SetPlotLog(nullptr);
    unlogged_ = true;
  }
}

void RuntimeCore::Present(FrameSink& sink) {
  const int buffers = std::max(1, sink.Buffers());
  if (buffers != buffers_) {
    DropMirror();
    buffers_ = buffers;
    targets_.assign(static_cast<std::size_t>(buffers), Target{});
    last_shown_ = -1;
    shaped_width_ = -1;
    canvas_.SetPlotLog(&plot_log_);
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
  const int index = std::clamp(buffer->index, 0, buffers - 1);
  Target& t = targets_[static_cast<std::size_t>(index)];
  // Only the buffer being drawn may go on taking plots as they come.
  const bool mirrored = mirror_ == index && canvas_.mirror() == buffer->pixels && !buffer->fresh;
  if (!mirrored) DropMirror();
  t.buffer = *buffer;
  std::uint32_t* pixels = buffer->pixels;
  const TwipMapping& m = canvas_.mapping();
  const int diameter = t.overlay.diameter();
  const Rect ball{static_cast<int>(m.PixelOf(ball_left_)), static_cast<int>(m.PixelOf(ball_top_)),
                  diameter, diameter};
  // Damage is what differs from the frame shown last, whichever buffer held
  // it: the new points and the ball where it was and where it is.
  damage_.clear();
  if (t.full || buffer->fresh || (!mirrored && !plot_log_.Holds(t.synced))) {
    canvas_.CopyVisibleTo(pixels, buffer->pitch);
    t.overlay.Forget();
    ++full_copies_;
    if (kept_copies_.size() < kKeptCopies) {
      kept_copies_.push_back({Now(), buffer->fresh ? CopyCause::kNewMemory
                                     : t.full      ? CopyCause::kCanvasChanged
                                                   : CopyCause::kLogBehind});
    }
    t.full = false;
  } else {
    if (!mirrored) CatchUp(t);
    if (AddNewPointDamage()) {
      damage_.push_back(last_ball_);
      damage_.push_back(ball);
    } else {
      damage_.clear();  // all of it
    }
  }
  t.overlay.Draw(canvas_, pixels, buffer->pitch, m.PixelOf(ball_left_), m.PixelOf(ball_top_),
                 canvas_.ToPixel(0xffffffu));
  last_ball_ = ball;
  sink.Submit(damage_);
  // The window system may read it now, until it says it is done.
  DropMirror();
  t.synced = plot_log_.head();
  shown_ = plot_log_.head();
  unlogged_ = false;
  last_shown_ = index;
  Reclaim(sink);
}

bool RuntimeCore::AddNewPointDamage() {
  // One rectangle per tile with new points, not per point: each is a request
  // to the compositor, and a flood of them can fill the socket, which
  // libwayland 1.21 treats as a fatal error. Past kMaxDamageRects tiles the
  // whole surface is damaged, and counting stops there.
  if (unlogged_ || !plot_log_.Holds(shown_)) return false;
  const int w = canvas_.width(), h = canvas_.height();
  const int tiles_x = (w + kDamageTile - 1) / kDamageTile;
  const int tiles_y = (h + kDamageTile - 1) / kDamageTile;
  damaged_tiles_.assign(static_cast<std::size_t>(tiles_x) * static_cast<std::size_t>(tiles_y),
                        false);
  // The ball's old and new boxes count among them.
  std::size_t tiles = 2;
  bool whole = false;
  plot_log_.ForEachSince(shown_, [&](const Canvas::PlotLog::Entry& e) {
    if (e.x >= w || e.y >= h) return true;
    const int tx = e.x / kDamageTile;
    const int ty = e.y / kDamageTile;
    const auto tile = static_cast<std::size_t>(ty) * static_cast<std::size_t>(tiles_x) +
                      static_cast<std::size_t>(tx);
    if (damaged_tiles_[tile]) return true;
    damaged_tiles_[tile] = true;
    if (++tiles > kMaxDamageRects) {
      whole = true;
      return false;
    }
    damage_.push_back({tx * kDamageTile, ty * kDamageTile, kDamageTile, kDamageTile});
    return true;
  });
  return !whole;
}

}  // namespace glimmer
