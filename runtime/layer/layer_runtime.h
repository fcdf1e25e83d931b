// RUNTIME: the desktop's own layers on Wayland, through the layer shell
//   (wlr-layer-shell), on a connection of the program's own: one field per
//   output, each a surface on the background layer (--background) or over
//   everything (--screensaver). No SDL.
// COVERS: every output there is and every one that comes while running, each
//   field sized to its output (a frame of 0 x 0) and drawn at its scale,
//   integer or fractional; an output that goes ends its field; each frame
//   presented when the compositor asks for it (its frame callback), so an
//   output covered or off costs only its ticks;
//   SIGINT and SIGTERM; a lost compositor. As a screensaver: the overlay
//   layer where a session locker can run (its lock surfaces then still come
//   first), else the top one; every key, button and move of one seat's
//   keyboard and pointer, read without a keymap, to end at the first input;
//   for a resident screensaver, the seat's idle time (ext-idle-notify-v1,
//   else org_kde_kwin_idle).
// LIMITATIONS: only where the compositor offers the layer shell (sway and
//   other wlroots desktops, KWin, labwc, Hyprland, niri; not mutter or
//   weston). The background takes no input; the screensaver reads the first
//   seat only, and no touch.
// DEPENDENCIES: wayland-client; the Wayland presenter's parts in
//   runtime/desktop/wayland (globals, buffers, frame surface).
#pragma once

#include <wayland-client.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ext-idle-notify-v1-client-protocol.h"
#include "idle-client-protocol.h"
#include "runtime/core/end_on_input.h"
#include "runtime/core/frame_sink.h"
#include "runtime/core/runtime_core.h"
#include "runtime/core/window_settings.h"
#include "runtime/desktop/wayland/frame_surface.h"
#include "runtime/desktop/wayland/shm_buffers.h"
#include "runtime/desktop/wayland/wayland_globals.h"

namespace glimmer {

// What the fields are: the desktop's background, under every window, or a
// screensaver over everything, which the user's first input ends.
enum class LayerRole { kBackground, kScreensaver };

// The compositor has no layer shell.
class NoLayerShell : public StartupError {
 public:
  using StartupError::StartupError;
};

// The wait without a deadline: until something arrives.
inline constexpr Nanos kNoDeadline = std::numeric_limits<Nanos>::max();

// The connection every field shares, the outputs it offers and, for a
// screensaver, the user's input.
class LayerDisplay {
 public:
  // Connects to the compositor WAYLAND_DISPLAY names, with SIGINT and SIGTERM
  // taken over first. Throws StartupError where there is none, and
  // NoLayerShell where it has no layer shell (`mode` names the option that
  // needs it).
  explicit LayerDisplay(LayerRole role, const std::string& mode = "--background");
  ~LayerDisplay();
  LayerDisplay(const LayerDisplay&) = delete;
  LayerDisplay& operator=(const LayerDisplay&) = delete;

  // Outputs that came since the last call (at first, all there are).
  std::vector<wl_output*> TakeNewOutputs();
  // Called with each output that goes, while dispatching.
  void OnOutputGone(std::function<void(wl_output*)> gone) { gone_ = std::move(gone); }

  // Handles what has arrived, without blocking; nothing where the
  // connection was read less than a millisecond ago (the loop's look at
  // events after a field's ticks, right after the wait read it).
  void Dispatch();
  // Waits until `deadline` (the monotonic clock's; kNoDeadline: for ever)
  // or until something the loop acts on has arrived since the last wait
  // ended (it may have come while the fields looked at events): a frame
  // asked for by any field, the user's input, an idle time run out, an
  // output come or gone, a field sized or closed; a signal or a lost
  // connection. What else arrives (buffers given back, scales) is handled
  // and waited on.
  void WaitUntil(Nanos deadline);
  // Something the loop acts on has arrived: the wait ends.
  void Notice() { ++news_; }
  bool Lost() const { return globals_->Lost(); }
  // SIGINT or SIGTERM came.
  bool SignalledToEnd() const;
  // A screensaver's end: a key, a button or a move (EndOnInput).
  bool InputCame() const { return input_.Ended(); }
  // Has the compositor say when the seat has had no input for `ms`:
  // through ext-idle-notify-v1 where it offers it, else KDE's
  // org_kde_kwin_idle. Both leave out time an idle inhibitor holds (a video
  // playing). Throws StartupError where it offers neither, or no seat.
  void WatchIdle(std::uint32_t ms);
  // Whether the idle time has run out since the last call (or
  // StartWaiting), with no input since.
  bool TakeIdle() { return std::exchange(idle_came_, false); }
  // The fields are gone: the input that ended them is forgotten, and so is
  // an idle time that ran out while they were up.
  void StartWaiting() {
    input_ = EndOnInput();
    idle_came_ = false;
  }
  LayerRole role() const { return role_; }
  // Whether the compositor lets a session locker run
  // (ext_session_lock_manager_v1), whose surfaces come above the overlay.
  bool SessionLockOffered() const { return session_lock_offered_; }
  // From here on SIGINT and SIGTERM end the loop rather than the process,
  // and a slow compositor no longer ends it.
  void StartupDone();
  Nanos Now() const;
  // "WAYLAND_DISPLAY=..." for messages.
  const std::string& name() const { return name_; }
  backend::wayland::Globals& globals() { return *globals_; }

 private:
  // A screensaver's seat and the session locker's global, looked for
  // through a registry of their own on the globals' queue.
  void WatchSeat();
  void SeatCapabilities(std::uint32_t capabilities);
  void LetGoOfSeat();
  void LetGoOfIdle();
  void Close();

  LayerRole role_;
  wl_display* display_ = nullptr;
  std::string name_;
  // Let go of before the connection closes.
  std::optional<backend::wayland::Globals> globals_;
  std::vector<wl_output*> new_outputs_;
  std::function<void(wl_output*)> gone_;
  wl_registry* seat_registry_ = nullptr;
  wl_seat* seat_ = nullptr;
  std::uint32_t seat_name_ = 0;
  wl_surface* pointer_surface_ = nullptr;  // where the pointer last entered
  wl_pointer* pointer_ = nullptr;
  wl_keyboard* keyboard_ = nullptr;
  bool session_lock_offered_ = false;
  EndOnInput input_;
  // The idle protocols' globals, as the registry offers them (0: not), and
  // the one notification asked for.
  std::uint32_t idle_notifier_name_ = 0;
  std::uint32_t kde_idle_name_ = 0;
  ext_idle_notifier_v1* idle_notifier_ = nullptr;
  ext_idle_notification_v1* idle_notification_ = nullptr;
  org_kde_kwin_idle* kde_idle_ = nullptr;
  org_kde_kwin_idle_timeout* kde_idle_timeout_ = nullptr;
  bool idle_came_ = false;
  // Counts what ends a wait (Notice), besides the frames asked for and the
  // input; and what of those the loop had when the last wait ended.
  std::uint64_t news_ = 0;
  std::uint64_t news_seen_ = 0;
  std::uint64_t frames_seen_ = 0;
  bool input_seen_ = false;
  Nanos read_at_ = 0;  // when the connection was last read
};

// One output's field: the handlers' services, the frames, and the loop's
// side (a LoopRuntime). The loop of all fields waits on the display.
class LayerRuntime : public RuntimeCore, private FrameSink {
 public:
  LayerRuntime(LayerDisplay& display, wl_output* output);
  ~LayerRuntime() override;
  LayerRuntime(const LayerRuntime&) = delete;
  LayerRuntime& operator=(const LayerRuntime&) = delete;

  // Puts a surface on the output's layer (the background, or the
  // screensaver's) and waits until the compositor sizes it. Throws
  // StartupError.
  void Open();
  wl_output* output() const { return output_; }
  // The output went: the field ends.
  void OutputGone() { closed_ = true; }

  // The event loop's side.
  Nanos FramePeriod() const { return kFramePeriod; }
  void Show() {}
  void Present();
  // The compositor asks for each frame (a PacedRuntime): the next may go
  // once the last one's frame callback has come.
  bool PacesFrames() const { return surface_.has_value(); }
  bool FrameAsked() const { return surface_.has_value() && !surface_->FramePending(); }
  void WaitUntil(Nanos deadline) { display_.WaitUntil(deadline); }
  // After each wait on the display: a buffer the compositor let go of takes
  // plots directly from here on.
  void TakeBackBuffer() { Reclaim(*this); }
  void PollEvents() { display_.Dispatch(); }
  bool CloseRequested() const {
    return closed_ || display_.Lost() || display_.SignalledToEnd() || display_.InputCame();
  }
  bool Visible() const { return configured_ && surface_->Seen(); }
  // Run-time errors go to stderr only: there is no window to show them in.
  void ShowError(const std::string&) {}

 private:
  // Frames go when the compositor asks; this grid only keeps the ticks
  // going where it asks for none (the loop's fallback, two frames on).
  static constexpr Nanos kFramePeriod = 1'000'000'000 / 60;

  int Buffers() const override { return backend::wayland::ShmBuffers::kCount; }
  std::optional<Buffer> Acquire() override;
  void Submit(const std::vector<Rect>& damage) override;
  bool Writable(const Buffer& b) const override { return buffers_.Writable(b); }
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
