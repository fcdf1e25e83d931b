// The phase clock, the ball's drift and the edge wrap.
#pragma once

#include "runtime/core/services.h"

namespace glimmer {

// One step of the phase that drives the ball's drift.
inline void AdvancePhase(double& phase) {
  phase = CheckFloat(phase + 1.0, "the phase clock");
}

// Each coordinate moves by the sine of the phase plus the phase, summed in
// double in that order and rounded once to a Single at its own magnitude. The
// position is read back from the ball every time: the ball is the only copy.
template <Services Rt>
void DriftBall(Rt& rt, double phase) {
  const double step = Sine(phase);
  const Single left = rt.BallLeft();
  rt.SetBallLeft(ToSingle((static_cast<double>(left) + step) + phase, "the ball's step"));
  const Single top = rt.BallTop();
  rt.SetBallTop(ToSingle((static_cast<double>(top) + step) + phase, "the ball's step"));
}

// A ball past the right (or bottom) edge of the window's outer size comes
// back just outside the left (or top) edge, whatever its overshoot.
template <Services Rt>
void WrapAtEdges(Rt& rt) {
  const Single w = rt.WindowWidth();
  if (rt.BallLeft() > w) {
    rt.SetBallLeft(ToSingle(-static_cast<double>(rt.BallWidth()), "the edge wrap"));
  }
  const Single h = rt.WindowHeight();
  if (rt.BallTop() > h) {
    // The ball is round: its height is its width.
    rt.SetBallTop(ToSingle(-static_cast<double>(rt.BallWidth()), "the edge wrap"));
  }
}

}  // namespace glimmer
