// The program's one window, its controls and the state its handlers share.
#pragma once

#include "animation/ball.h"
#include "animation/dot_spray.h"
#include "app/timers.h"
#include "runtime/core/services.h"
#include "runtime/core/window_settings.h"

namespace glimmer {

// The window's fixed description.
struct FormDescription {
  static constexpr const char* kTitle = "Glimmerfeld!";
  // Client area at start, in twips (992 x 741 pixels at 96 dpi).
  static constexpr double kClientWidth = 14880.0;
  static constexpr double kClientHeight = 11115.0;
  // The frame of the start size, for when the window system reports none.
  static constexpr double kFrameWidth = 120.0;
  static constexpr double kFrameHeight = 405.0;
  // The ball: a circle's outline in a square box at the top-left corner.
  static constexpr Single kBallLeft = 0.0f;
  static constexpr Single kBallTop = 0.0f;
  static constexpr Single kBallSize = 495.0f;

  // The window these describe, for a runtime to open.
  static WindowSettings Window() {
    WindowSettings w;
    w.title = kTitle;
    w.client_width_twips = kClientWidth;
    w.client_height_twips = kClientHeight;
    w.frame_width_twips = kFrameWidth;
    w.frame_height_twips = kFrameHeight;
    return w;
  }
};

template <Services Rt>
class frmRand {
 public:
  // Creates the controls in their fixed order; every timer is enabled.
  explicit frmRand(Rt& rt) : rt_(rt) {
    timers.Add("tmrAB", 10 * kMillisecond, [this] { tmrAB_Timer(); });
    timers.Add("tmrRandMove", 1 * kMillisecond, [this] { tmrRandMove_Timer(); });
    timers.Add("tmrBallmove", 1 * kMillisecond, [this] { tmrBallmove_Timer(); });
    timers.Add("tmrDrawDots", 1 * kMillisecond, [this] { tmrDrawDots_Timer(); });
    rt_.CreateBall(FormDescription::kBallLeft, FormDescription::kBallTop,
                   FormDescription::kBallSize);
  }
  frmRand(const frmRand&) = delete;
  frmRand& operator=(const frmRand&) = delete;

  void Form_Load() { rt_.Reseed(); }
  void tmrAB_Timer() { glimmer::tmrAB_Timer(dblA, dblB); }
  void tmrRandMove_Timer() { glimmer::tmrRandMove_Timer(rt_); }
  void tmrBallmove_Timer() { glimmer::tmrBallmove_Timer(rt_, dblA, dblB); }
  void tmrDrawDots_Timer() { glimmer::tmrDrawDots_Timer(rt_); }

  double dblA = 0.0;
  double dblB = 0.0;
  TimerService timers;

 private:
  Rt& rt_;
};

}  // namespace glimmer
