// RUNTIME: the desktop's own layers on Wayland, through the layer shell
//   (wlr-layer-shell), on a connection of the program's own: one field per
//   output, each a surface on the background layer. No SDL.
// COVERS: every output there is and every one that comes while running, each
//   field sized to its output (a frame of 0 x 0) and drawn at its scale,
//   integer or fractional; an output that goes ends its field; frames paced
//   by frame callbacks, so an output covered or off costs only its ticks;
//   SIGINT and SIGTERM; a lost compositor.
// LIMITATIONS: only where the compositor offers the layer shell (sway and
//   other wlroots desktops, KWin, labwc, Hyprland, niri; not mutter or
//   weston). No input of any kind.
// DEPENDENCIES: wayland-client; the Wayland presenter's parts in
//   runtime/desktop/wayland (globals, buffers, frame surface).
#pragma once

#include <wayland-client.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/core/frame_sink.h"
#include "runtime/core/runtime_core.h"
#include "runtime/core/window_settings.h"
#include "runtime/desktop/wayland/frame_surface.h"
#include "runtime/desktop/wayland/shm_buffers.h"
#include "runtime/desktop/wayland/wayland_globals.h"

namespace glimmer {

// The connection every field shares, and the outputs it offers.
class LayerDisplay {
 public:
  // Connects to the compositor WAYLAND_DISPLAY names, with SIGINT and SIGTERM
  // taken over first. Throws StartupError where there is none, or where it
  // has no layer shell.
  LayerDisplay();
  ~LayerDisplay();
  LayerDisplay(const LayerDisplay&) = delete;
  LayerDisplay& operator=(const LayerDisplay&) = delete;

  // Outputs that came since the last call (at first, all there are).
  std::vector<wl_output*> TakeNewOutputs();
  // Called with each output that goes, while dispatching.
  void OnOutputGone(std::function<void(wl_output*)> gone) { gone_ = std::move(gone); }

  // Handles what has arrived, without blocking.
  void Dispatch();
  // Waits until `deadline` (the monotonic clock's) or until something
  // arrives, and handles it.
  void WaitUntil(Nanos deadline);
  bool Lost() const { return globals_->Lost(); }
  // SIGINT or SIGTERM came.
  bool SignalledToEnd() const;
  // From here on SIGINT and SIGTERM end the loop rather than the process,
  // and a slow compositor no longer ends it.
  void StartupDone();
  Nanos Now() const;
  // "WAYLAND_DISPLAY=..." for messages.
  const std::string& name() const { return name_; }
  backend::wayland::Globals& globals() { return *globals_; }

 private:
  wl_display* display_ = nullptr;
  std::string name_;
  // Let go of before the connection closes.
  std::optional<backend::wayland::Globals> globals_;
  std::vector<wl_output*> new_outputs_;
  std::function<void(wl_output*)> gone_;
};

// One output's field: the handlers' services, the frames, and the loop's
// side (a LoopRuntime). The loop of all fields waits on the display.
class LayerRuntime : public RuntimeCore, private FrameSink {
 public:
  LayerRuntime(LayerDisplay& display, wl_output* output);
  ~LayerRuntime() override;
  LayerRuntime(const LayerRuntime&) = delete;
  LayerRuntime& operator=(const LayerRuntime&) = delete;

  // Puts a surface on the output's background layer and waits until the
  // compositor sizes it. Throws StartupError.
  void Open();
  wl_output* output() const { return output_; }
  // The output went: the field ends.
  void OutputGone() { closed_ = true; }

  // The event loop's side.
  Nanos FramePeriod() const { return kFramePeriod; }
  void Show() {}
  void Present();
  void WaitUntil(Nanos deadline) { display_.WaitUntil(deadline); }
  void PollEvents() { display_.Dispatch(); }
  bool CloseRequested() const { return closed_ || display_.Lost() || display_.SignalledToEnd(); }
  bool Visible() const { return configured_ && surface_->Seen(); }
  // Run-time errors go to stderr only: there is no window to show them in.
  void ShowError(const std::string&) {}

 private:
  // Frames are asked for by the compositor; this only sets how often the
  // loop looks whether one may go.
  static constexpr Nanos kFramePeriod = 1'000'000'000 / 60;

  int Buffers() const override { return backend::wayland::ShmBuffers::kCount; }
  std::optional<Buffer> Acquire() override;
  void Submit(const std::vector<Rect>& damage) override;
  std::string Describe() const override { return "wayland layer shm"; }

  // Takes the scale and the size in force into the core.
  void Follow();
  int DeviceLength(int logical) const;

  LayerDisplay& display_;
  wl_output* output_;
  std::optional<backend::wayland::FrameSurface> surface_;
  zwlr_layer_surface_v1* layer_ = nullptr;
  backend::wayland::ShmBuffers buffers_;
  backend::wayland::ShmBuffer* current_ = nullptr;  // from the last Acquire
  int logical_w_ = 0;                               // as the compositor sized the surface
  int logical_h_ = 0;
  std::optional<std::uint32_t> unacked_;  // a configure the next commit answers
  bool configured_ = false;
  bool closed_ = false;
  double applied_scale_ = 0;
};

}  // namespace glimmer
