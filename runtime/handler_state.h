// What every runtime keeps for the handlers and hands them without a round
// trip to the window system: the generator, the canvas the points go into,
// the window's outer size and the ball's box.
#pragma once

#include "runtime/canvas.h"
#include "runtime/pcg32.h"
#include "runtime/services.h"

namespace glimmer {

class HandlerState {
 public:
  Single NextRandom() { return rng_.NextSingle(); }
  Single WindowWidth() const { return outer_width_; }
  Single WindowHeight() const { return outer_height_; }
  void PlotPoint(Single x, Single y, Colour colour) { canvas_.Plot(x, y, colour); }
  Single BallLeft() const { return ball_left_; }
  Single BallTop() const { return ball_top_; }
  Single BallWidth() const { return ball_width_; }
  void SetBallLeft(Single v) { ball_left_ = v; }
  void SetBallTop(Single v) { ball_top_ = v; }

  const Canvas& canvas() const { return canvas_; }

 protected:
  Pcg32 rng_;
  Canvas canvas_;
  Single outer_width_ = 0;
  Single outer_height_ = 0;
  Single ball_left_ = 0;
  Single ball_top_ = 0;
  Single ball_width_ = 0;
};

}  // namespace glimmer
