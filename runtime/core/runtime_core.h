// What every runtime holds for the handlers and draws frames from, whatever
// the window system: the generator and its seed, the canvas the points go
// into, the ball over it, the ball's box, the window's outer size and the
// display scale. A runtime adds only what is its own: the window or page,
// events, the clock and the wake-ups, and a FrameSink to present through.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/core/ball_overlay.h"
#include "runtime/core/canvas.h"
#include "runtime/core/frame_sink.h"
#include "runtime/core/pcg32.h"
#include "runtime/core/types.h"

namespace glimmer {

class RuntimeCore {
 public:
  RuntimeCore() = default;
  RuntimeCore(const RuntimeCore&) = delete;
  RuntimeCore& operator=(const RuntimeCore&) = delete;

  // The handlers' services.
  Single NextRandom() { return rng_.NextSingle(); }
  Single WindowWidth() const { return outer_width_; }
  Single WindowHeight() const { return outer_height_; }
  void PlotPoint(Single x, Single y, Colour colour) { canvas_.Plot(x, y, colour); }
  void CreateBall(Single left, Single top, Single width);
  Single BallLeft() const { return ball_left_; }
  Single BallTop() const { return ball_top_; }
  Single BallWidth() const { return ball_width_; }
  void SetBallLeft(Single v) { ball_left_ = v; }
  void SetBallTop(Single v) { ball_top_ = v; }

  // Seeds the generator from the clocks, so that runs started even a
  // millisecond apart differ; Seed for a chosen sequence and stream.
  void Reseed();
  void Seed(std::uint64_t sequence, std::uint64_t stream) { rng_.Seed(sequence, stream); }

  // The monotonic clock every runtime keeps time by.
  Nanos Now() const;

  // The frame assumed where the window system reports none, in twips.
  void SetAssumedFrame(double width_twips, double height_twips);
  // The display scale in force, at start and whenever it changes: what was
  // plotted keeps its place and size on the screen, new points are one device
  // pixel, and the ball takes its shape at this scale from the next frame on.
  void SetScale(double scale);
  const TwipMapping& mapping() const { return canvas_.mapping(); }
  // The client area in device pixels, with the frame around it in device
  // pixels where the window system reports one.
  void SetClientSize(int width, int height,
                     std::optional<std::pair<int, int>> frame = std::nullopt);
  int client_width() const { return client_w_; }
  int client_height() const { return client_h_; }

  // Draws the next frame into a buffer of `sink` and shows it: the points
  // that buffer lacks (or the whole canvas), then the ball over them.
  void Present(FrameSink& sink);
  // Between frames, before the ticks: where the window system is done with
  // the buffer last shown, takes it back, so that plots go straight into it
  // (the canvas's mirror) instead of waiting in the log for the next frame.
  void Reclaim(FrameSink& sink);

  // For measurements: frames drawn by copying the whole canvas, why and
  // when (the first kKeptCopies of them), and points written from the log.
  enum class CopyCause {
    kNewMemory,      // a buffer holding no earlier frame
    kCanvasChanged,  // its size, scale or pixel layout, or the ball's shape
    kLogBehind,      // the buffer lacks more than the log holds
  };
  struct FullCopy {
    Nanos at;
    CopyCause cause;
  };
  static constexpr std::size_t kKeptCopies = 64;
  std::uint64_t full_copies() const { return full_copies_; }
  const std::vector<FullCopy>& kept_copies() const { return kept_copies_; }
  std::uint64_t replayed_points() const { return replayed_points_; }

 private:
  // Each buffer of the sink, with what it holds.
  struct Target {
    BallOverlay overlay;
    FrameSink::Buffer buffer;  // as last handed out
    std::uint64_t synced = 0;  // the log's place: it holds every plot before
    bool full = true;          // needs the whole canvas
  };
  void ShapeBall();
  // Writes the plots `t` lacks from the log; requires the log to hold them.
  void CatchUp(Target& t);
  // Plots stop going into the mirror, whose target holds all made so far.
  void DropMirror();
  // Damage for the points plotted since the last frame, a tile at a time;
  // false where it is the whole surface.
  bool AddNewPointDamage();

  Pcg32 rng_;
  Canvas canvas_;
  Single outer_width_ = 0;
  Single outer_height_ = 0;
  Single ball_left_ = 0;
  Single ball_top_ = 0;
  Single ball_width_ = 0;
  // The frame assumed where the window system reports none, in twips.
  std::pair<double, double> assumed_frame_{0, 0};
  int client_w_ = 0;  // device pixels
  int client_h_ = 0;

  // What the ball's shape was made for; it follows the scale and the ball.
  double shaped_scale_ = 0;
  Single shaped_width_ = -1;
  std::vector<Target> targets_;
  int buffers_ = 0;      // of the sink last presented through
  int last_shown_ = -1;  // the target submitted last
  int mirror_ = -1;      // the target the canvas mirrors into, while it does
  Canvas::PlotLog plot_log_;
  std::uint64_t shown_ = 0;  // the log's place at the last frame shown
  bool unlogged_ = false;    // plots went unlogged since
  std::vector<Rect> damage_;
  std::vector<bool> damaged_tiles_;
  std::uint64_t full_copies_ = 0;
  std::vector<FullCopy> kept_copies_;
  std::uint64_t replayed_points_ = 0;
  Rect last_ball_{0, 0, 0, 0};
};

}  // namespace glimmer
