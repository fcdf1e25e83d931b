// RUNTIME: a web page, built with Emscripten; the only C++ of the browser
//   build that touches the page. The page's side is app/web/shell.html, which
//   hands it `Module.glimmerHost` (the canvas, in a worker as an
//   OffscreenCanvas or on the main thread, and the page's scale and
//   visibility) and tells it of changes.
// COVERS: a canvas of the client area in CSS pixels backed in device pixels,
//   frames put straight from the program's memory; wake-ups from animation
//   frames while seen and from timers while hidden (browsers run no
//   animation frames then); a new devicePixelRatio while running, as the
//   desktops take a new scale; run-time errors over the canvas and in the
//   console.
// LIMITATIONS: a page never closes itself, so CloseRequested() stays false.
//   Frozen tabs run nothing; what they miss beyond the hidden cap is dropped.
//   One instance per page. In the worker the spray's writes cost most beyond
//   the put (docs/PERFORMANCE.md).
// DEPENDENCIES: Emscripten (html5 API, EM_JS), WebAssembly exception
//   handling, a 2D canvas context. No SDL.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "runtime/core/frame_sink.h"
#include "runtime/core/runtime_core.h"
#include "runtime/core/types.h"
#include "runtime/core/window_settings.h"

namespace glimmer {

// The page's canvas as a frame sink: one buffer in the program's memory,
// put on the canvas whole at each frame.
class PageCanvasSink final : public FrameSink {
 public:
  // A backing store of `width` x `height` device pixels, black.
  void Resize(int width, int height);
  int Buffers() const override { return 1; }
  std::optional<Buffer> Acquire() override;
  void Submit(const std::vector<Rect>& damage) override;
  std::string Describe() const override { return "page canvas"; }

 private:
  std::vector<std::uint32_t> frame_;  // RGBA bytes as the page's ImageData sees them
  int width_ = 0;
  int height_ = 0;
  bool fresh_ = true;
};

class WebRuntime : public RuntimeCore {
 public:
  WebRuntime() = default;
  WebRuntime(const WebRuntime&) = delete;
  WebRuntime& operator=(const WebRuntime&) = delete;

  // Takes the page's canvas and sizes it at the page's scale for the client
  // area of `settings`; a page has no frame, so the outer size always
  // includes the assumed one. Throws StartupError without a 2D canvas.
  void Open(const WindowSettings& settings);

  // The event loop's side.
  Nanos FramePeriod() const { return frame_period_; }
  void Show() {}
  void Present();
  // The browser calls back; nothing here blocks or waits for events.
  void WaitUntil(Nanos /*deadline*/) {}
  void PollEvents() {}
  bool CloseRequested() const { return false; }
  bool Visible() const { return !hidden_; }
  void ShowError(const std::string& message);

  // A step returns when it wants to wake next, or nothing to stop for good.
  using Step = std::function<std::optional<Nanos>()>;

  // Calls `ready` once the page's frame period is known: measured over a few
  // animation frames, or assumed if the page starts hidden.
  void WhenReady(std::function<void()> ready);
  // Calls `step` at every animation frame while the page is seen, and at the
  // times it asks for (as the browser allows) while it is hidden.
  void Drive(Step step);

  // The page's facts (visibility, scale) changed: takes them in.
  void PageChanged();

 private:
  friend struct WebCallbacks;  // the browser's entry points, in the .cpp
  // The one way a display scale takes effect, at start and on every change:
  // the core's (what was plotted keeps its place, the ball is shaped anew),
  // with the backing store and the outer size following.
  void FitToScale(double scale);
  // Runs one step; false once the program has stopped.
  bool RunStep();
  void ReadyNow();
  void StartAnimationFrames();
  void ScheduleHiddenWake();

  WindowSettings settings_;
  PageCanvasSink sink_;

  bool hidden_ = false;
  // Three quarters of a 60 Hz frame until measured (see OnAnimationFrame).
  Nanos frame_period_ = 1'000'000'000 / 80;
  std::vector<double> frame_times_;  // while measuring the frame period
  std::function<void()> ready_;
  Step step_;
  std::optional<Nanos> wake_at_;
  bool stopped_ = false;
  bool frames_running_ = false;
  bool hidden_wake_pending_ = false;
};

}  // namespace glimmer
