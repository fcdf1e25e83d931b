// When a screensaver ends: at the user's first key or button pressed, or the
// first move of the pointer by more than kPointerSlack pixels, along either
// axis, from where it was first seen on the surface it is on. A tremor of
// the hand, or a surface mapped under a still pointer, is no input.
#pragma once

#include <cmath>

namespace glimmer {

class EndOnInput {
 public:
  static constexpr double kPointerSlack = 4;

  void KeyPressed() { ended_ = true; }
  void ButtonPressed() { ended_ = true; }
  // The pointer at (x, y) in the pixels of `surface` (any identity: a
  // window, a Wayland surface). On a surface other than the last one, the
  // position is where moves are measured from.
  void PointerAt(const void* surface, double x, double y) {
    if (surface != surface_ || !seen_) {
      surface_ = surface;
      seen_ = true;
      x0_ = x;
      y0_ = y;
      return;
    }
    if (std::abs(x - x0_) > kPointerSlack || std::abs(y - y0_) > kPointerSlack) ended_ = true;
  }
  // The surface moved or changed size under the pointer: where it is on it
  // changed without the user's doing, and is measured afresh.
  void SurfaceMoved() { seen_ = false; }
  bool Ended() const { return ended_; }

 private:
  const void* surface_ = nullptr;
  bool seen_ = false;
  double x0_ = 0;
  double y0_ = 0;
  bool ended_ = false;
};

}  // namespace glimmer
