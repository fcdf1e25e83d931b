// The program's one window, its controls and the state its handlers share.
#pragma once

#include "animation/ball.h"
#include "animation/dot_spray.h"
#include "app/timers.h"
#include "runtime/core/services.h"
#include "runtime/core/window_settings.h"

namespace glimmer {

// The window's fixed description.
struct WindowDescription {
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
class FieldWindow {
 public:
  // Creates the controls in their fixed order; every timer is enabled.
  explicit FieldWindow(Rt& rt) : rt_(rt) {
    timers.Add("phase", 10 * kMillisecond, [this] { AdvancePhase(); });
    timers.Add("wrap", 1 * kMillisecond, [this] { WrapAtEdges(); });
    timers.Add("drift", 1 * kMillisecond, [this] { DriftBall(); });
    timers.Add("spray", 1 * kMillisecond, [this] { SprayDots(); });
    rt_.CreateBall(WindowDescription::kBallLeft, WindowDescription::kBallTop,
                   WindowDescription::kBallSize);
  }
  FieldWindow(const FieldWindow&) = delete;
  FieldWindow& operator=(const FieldWindow&) = delete;

  void Load() { rt_.Reseed(); }
  void AdvancePhase() { glimmer::AdvancePhase(phase); }
  void WrapAtEdges() { glimmer::WrapAtEdges(rt_); }
  void DriftBall() { glimmer::DriftBall(rt_, phase); }
  void SprayDots() { glimmer::SprayDots(rt_); }

  double phase = 0.0;  // the drift's phase, one step per phase tick
  TimerService timers;

 private:
  Rt& rt_;
};

}  // namespace glimmer
