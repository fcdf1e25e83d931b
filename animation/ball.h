// The phase clock, the ball's drift and the edge wrap.
#pragma once

#include "runtime/core/services.h"

namespace glimmer {

// Both phases advance together, so they always stay equal.
inline void tmrAB_Timer(double& dblA, double& dblB) {
  dblA = CheckFloat(dblA + 1.0, "the phase clock");
  dblB = CheckFloat(dblB + 1.0, "the phase clock");
}

// Each coordinate moves by a sine of one phase plus the other phase, summed in
// double in that order and rounded once to a Single at its own magnitude. The
// position is read back from the ball every time: the ball is the only copy.
template <Services Rt>
void tmrBallmove_Timer(Rt& rt, const double& dblA, const double& dblB) {
  const double sa = Sine(dblA);
  const Single left = rt.BallLeft();
  rt.SetBallLeft(ToSingle((static_cast<double>(left) + sa) + dblB, "the ball's step"));
  const double sb = Sine(dblB);
  const Single top = rt.BallTop();
  rt.SetBallTop(ToSingle((static_cast<double>(top) + sb) + dblA, "the ball's step"));
}

// A ball past the right (or bottom) edge of the window's outer size comes
// back just outside the left (or top) edge, whatever its overshoot.
template <Services Rt>
void tmrRandMove_Timer(Rt& rt) {
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
