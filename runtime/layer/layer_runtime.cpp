#include "runtime/layer/layer_runtime.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "runtime/desktop/linux/linux_system.h"

namespace glimmer {

using backend::wayland::ShmBuffers;

namespace {

// The seat's version: every event up to it is handled below.
constexpr std::uint32_t kSeatVersion = 5;

// How soon after a read the connection is worth reading again: as often as
// the loop looks at events while ticks run.
constexpr Nanos kReadAgainAfter = 1'000'000;

}  // namespace

LayerDisplay::LayerDisplay(LayerRole role, const std::string& mode) : role_(role) {
  const char* socket = std::getenv("WAYLAND_DISPLAY");
  name_ = std::string("WAYLAND_DISPLAY=") + (socket != nullptr ? socket : "wayland-0");
  backend::linux_desktop::PrepareWaylandOnly();
  display_ = wl_display_connect(nullptr);
  if (display_ == nullptr) throw StartupError("cannot connect to the display (" + name_ + ")");
  try {
    globals_.emplace();
    if (!globals_->Bind(display_, /*own_display=*/true))
      throw StartupError("the compositor (" + name_ + ") offers no wl_compositor or wl_shm");
    if (globals_->layer_shell() == nullptr) {
      throw NoLayerShell(
          "the compositor (" + name_ + ") has no layer shell (wlr-layer-shell), which " + mode +
          " needs: sway, KWin, labwc, Hyprland and niri have it, GNOME's mutter and weston do "
          "not");
    }
    if (role_ == LayerRole::kScreensaver) WatchSeat();
  } catch (...) {
    // A screensaver goes on without the layer shell, through SDL: nothing
    // of this connection may linger.
    Close();
    throw;
  }
  globals_->WatchOutputs(
      [this](wl_output* o) {
        new_outputs_.push_back(o);
        Notice();
      },
      [this](wl_output* o) {
        std::erase(new_outputs_, o);
        if (gone_) gone_(o);
        Notice();
      });
}

LayerDisplay::~LayerDisplay() {
  Close();
}

void LayerDisplay::Close() {
  LetGoOfIdle();
  LetGoOfSeat();
  if (seat_registry_ != nullptr) wl_registry_destroy(std::exchange(seat_registry_, nullptr));
  globals_.reset();
  if (display_ != nullptr) wl_display_disconnect(std::exchange(display_, nullptr));
}

void LayerDisplay::WatchSeat() {
  auto* wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(display_));
  if (wrapper == nullptr) throw StartupError("out of memory");
  wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), globals_->queue());
  seat_registry_ = wl_display_get_registry(wrapper);
  wl_proxy_wrapper_destroy(wrapper);
  static const wl_registry_listener listener = {
      [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
         std::uint32_t version) {
        auto* self = static_cast<LayerDisplay*>(data);
        // Only its presence counts: the locker is another program.
        if (std::strcmp(interface, "ext_session_lock_manager_v1") == 0) {
          self->session_lock_offered_ = true;
        } else if (std::strcmp(interface, ext_idle_notifier_v1_interface.name) == 0) {
          self->idle_notifier_name_ = name;
        } else if (std::strcmp(interface, org_kde_kwin_idle_interface.name) == 0) {
          self->kde_idle_name_ = name;
        } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && self->seat_ == nullptr) {
          self->seat_name_ = name;
          self->seat_ = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface,
                                                               std::min(version, kSeatVersion)));
          static const wl_seat_listener seat_listener = {
              .capabilities =
                  [](void* d, wl_seat*, std::uint32_t caps) {
                    static_cast<LayerDisplay*>(d)->SeatCapabilities(caps);
                  },
              .name = [](void*, wl_seat*, const char*) {},
          };
          wl_seat_add_listener(self->seat_, &seat_listener, self);
        }
      },
      [](void* data, wl_registry*, std::uint32_t name) {
        auto* self = static_cast<LayerDisplay*>(data);
        if (self->seat_ != nullptr && name == self->seat_name_) self->LetGoOfSeat();
      }};
  wl_registry_add_listener(seat_registry_, &listener, this);
  // The globals, then the seat's capabilities.
  for (int i = 0; i < 2; ++i) {
    if (wl_display_roundtrip_queue(display_, globals_->queue()) < 0)
      throw StartupError("lost the connection to the display (" + name_ + ")");
  }
}

void LayerDisplay::SeatCapabilities(std::uint32_t caps) {
  const bool pointer = (caps & WL_SEAT_CAPABILITY_POINTER) != 0;
  const bool keyboard = (caps & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
  if (pointer && pointer_ == nullptr) {
    pointer_ = wl_seat_get_pointer(seat_);
    static const wl_pointer_listener listener = {
        .enter =
            [](void* d, wl_pointer* p, std::uint32_t serial, wl_surface* surface, wl_fixed_t x,
               wl_fixed_t y) {
              auto* self = static_cast<LayerDisplay*>(d);
              // No pointer over the field.
              wl_pointer_set_cursor(p, serial, nullptr, 0, 0);
              self->pointer_surface_ = surface;
              self->input_.PointerAt(surface, wl_fixed_to_double(x), wl_fixed_to_double(y));
            },
        .leave = [](void*, wl_pointer*, std::uint32_t, wl_surface*) {},
        .motion =
            [](void* d, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
              auto* self = static_cast<LayerDisplay*>(d);
              self->input_.PointerAt(self->pointer_surface_, wl_fixed_to_double(x),
                                     wl_fixed_to_double(y));
            },
        .button =
            [](void* d, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t,
               std::uint32_t state) {
              if (state == WL_POINTER_BUTTON_STATE_PRESSED)
                static_cast<LayerDisplay*>(d)->input_.ButtonPressed();
            },
        .axis = [](void*, wl_pointer*, std::uint32_t, std::uint32_t, wl_fixed_t) {},
        .frame = [](void*, wl_pointer*) {},
        .axis_source = [](void*, wl_pointer*, std::uint32_t) {},
        .axis_stop = [](void*, wl_pointer*, std::uint32_t, std::uint32_t) {},
        .axis_discrete = [](void*, wl_pointer*, std::uint32_t, std::int32_t) {},
#ifdef WL_POINTER_AXIS_VALUE120_SINCE_VERSION
        // Of later versions than the seat's: never sent.
        .axis_value120 = nullptr,
#endif
#ifdef WL_POINTER_AXIS_RELATIVE_DIRECTION_SINCE_VERSION
        .axis_relative_direction = nullptr,
#endif
    };
    wl_pointer_add_listener(pointer_, &listener, this);
  } else if (!pointer && pointer_ != nullptr) {
    wl_pointer_destroy(std::exchange(pointer_, nullptr));
  }
  if (keyboard && keyboard_ == nullptr) {
    keyboard_ = wl_seat_get_keyboard(seat_);
    // Any key ends it, whatever it means: no keymap is needed.
    static const wl_keyboard_listener listener = {
        .keymap = [](void*, wl_keyboard*, std::uint32_t, std::int32_t fd,
                     std::uint32_t) { close(fd); },
        // Keys already down as the field takes the keyboard were pressed
        // before it was there.
        .enter = [](void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {},
        .leave = [](void*, wl_keyboard*, std::uint32_t, wl_surface*) {},
        .key =
            [](void* d, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t,
               std::uint32_t state) {
              // A release alone is the end of a press made elsewhere (the
              // Enter that started the program).
              if (state == WL_KEYBOARD_KEY_STATE_PRESSED)
                static_cast<LayerDisplay*>(d)->input_.KeyPressed();
            },
        .modifiers = [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t,
                        std::uint32_t, std::uint32_t) {},
        .repeat_info = [](void*, wl_keyboard*, std::int32_t, std::int32_t) {},
    };
    wl_keyboard_add_listener(keyboard_, &listener, this);
  } else if (!keyboard && keyboard_ != nullptr) {
    wl_keyboard_destroy(std::exchange(keyboard_, nullptr));
  }
}

void LayerDisplay::WatchIdle(std::uint32_t ms) {
  if (seat_ == nullptr) {
    throw StartupError("the compositor (" + name_ +
                       ") has no input seat, whose idle time --screensaver-after waits for");
  }
  // Version 1 of either: all that is handled here.
  if (idle_notifier_name_ != 0) {
    idle_notifier_ = static_cast<ext_idle_notifier_v1*>(
        wl_registry_bind(seat_registry_, idle_notifier_name_, &ext_idle_notifier_v1_interface, 1));
    idle_notification_ = ext_idle_notifier_v1_get_idle_notification(idle_notifier_, ms, seat_);
    static const ext_idle_notification_v1_listener listener = {
        .idled =
            [](void* d, ext_idle_notification_v1*) {
              static_cast<LayerDisplay*>(d)->idle_came_ = true;
              static_cast<LayerDisplay*>(d)->Notice();
            },
        .resumed =
            [](void* d, ext_idle_notification_v1*) {
              static_cast<LayerDisplay*>(d)->idle_came_ = false;
            },
    };
    ext_idle_notification_v1_add_listener(idle_notification_, &listener, this);
  } else if (kde_idle_name_ != 0) {
    kde_idle_ = static_cast<org_kde_kwin_idle*>(
        wl_registry_bind(seat_registry_, kde_idle_name_, &org_kde_kwin_idle_interface, 1));
    kde_idle_timeout_ = org_kde_kwin_idle_get_idle_timeout(kde_idle_, seat_, ms);
    static const org_kde_kwin_idle_timeout_listener listener = {
        .idle =
            [](void* d, org_kde_kwin_idle_timeout*) {
              static_cast<LayerDisplay*>(d)->idle_came_ = true;
              static_cast<LayerDisplay*>(d)->Notice();
            },
        .resumed =
            [](void* d, org_kde_kwin_idle_timeout*) {
              static_cast<LayerDisplay*>(d)->idle_came_ = false;
            },
    };
    org_kde_kwin_idle_timeout_add_listener(kde_idle_timeout_, &listener, this);
  } else {
    throw StartupError("the compositor (" + name_ +
                       ") tells no idle time (neither ext-idle-notify-v1 nor org_kde_kwin_idle), "
                       "which --screensaver-after needs");
  }
  wl_display_flush(display_);
}

void LayerDisplay::LetGoOfIdle() {
  if (idle_notification_ != nullptr)
    ext_idle_notification_v1_destroy(std::exchange(idle_notification_, nullptr));
  if (idle_notifier_ != nullptr)
    ext_idle_notifier_v1_destroy(std::exchange(idle_notifier_, nullptr));
  if (kde_idle_timeout_ != nullptr)
    org_kde_kwin_idle_timeout_release(std::exchange(kde_idle_timeout_, nullptr));
  if (kde_idle_ != nullptr) org_kde_kwin_idle_destroy(std::exchange(kde_idle_, nullptr));
}

void LayerDisplay::LetGoOfSeat() {
  if (pointer_ != nullptr) wl_pointer_destroy(std::exchange(pointer_, nullptr));
  if (keyboard_ != nullptr) wl_keyboard_destroy(std::exchange(keyboard_, nullptr));
  if (seat_ != nullptr) wl_seat_destroy(std::exchange(seat_, nullptr));
}

std::vector<wl_output*> LayerDisplay::TakeNewOutputs() {
  return std::exchange(new_outputs_, {});
}

bool LayerDisplay::SignalledToEnd() const {
  return backend::linux_desktop::SignalledToEnd();
}

void LayerDisplay::StartupDone() {
  backend::linux_desktop::StartupDone();
}

Nanos LayerDisplay::Now() const {
  return SteadyNow();
}

void LayerDisplay::Dispatch() {
  // The connection is read once a wake-up: what a read this soon after the
  // last would find waits for the next one (the wait's, which then ends at
  // once for it, or the next look between ticks).
  const Nanos now = Now();
  if (now - read_at_ < kReadAgainAfter) return;
  read_at_ = now;
  globals_->Dispatch();
  // The display's own events (errors, ids let go of) come on its default
  // queue, which nobody else reads here.
  wl_display_dispatch_pending(display_);
}

void LayerDisplay::WaitUntil(Nanos deadline) {
  wl_event_queue* queue = globals_->queue();
  // Since the last wait ended: what came meanwhile, while the fields looked
  // at events, ends this one at once.
  const auto came = [&] {
    return globals_->FramesAsked() != frames_seen_ || news_ != news_seen_ ||
           InputCame() != input_seen_ || Lost();
  };
  const auto wait = [&] {
    for (;;) {
      if (Lost() || SignalledToEnd()) return;
      while (wl_display_prepare_read_queue(display_, queue) != 0)
        wl_display_dispatch_queue_pending(display_, queue);
      if (came()) {
        wl_display_cancel_read(display_);
        return;
      }
      wl_display_flush(display_);
      // At most a second with a deadline, in whole milliseconds rounded up:
      // waking early would only spin. A signal cuts the wait short, and the
      // loop then sees the request.
      std::optional<Nanos> timeout;
      if (deadline != kNoDeadline) {
        const Nanos left = std::max<Nanos>(0, deadline - Now());
        timeout = std::min<Nanos>((left + 999'999) / 1'000'000, 1000) * 1'000'000;
      }
      const bool readable =
          backend::linux_desktop::WaitReadable(wl_display_get_fd(display_), timeout);
      if (readable) {
        wl_display_read_events(display_);
      } else {
        wl_display_cancel_read(display_);
      }
      // One dispatch per wake-up. The display's own events (errors, ids let
      // go of) come on its default queue, which nobody else reads here.
      wl_display_dispatch_queue_pending(display_, queue);
      wl_display_dispatch_pending(display_);
      // The deadline, a signal, or something the loop acts on. Anything else
      // (a buffer given back, which the next frame finds by itself) is no
      // reason for the loop to turn.
      if (!readable || came()) return;
    }
  };
  wait();
  read_at_ = Now();
  // The loop turns now and sees all there is.
  frames_seen_ = globals_->FramesAsked();
  news_seen_ = news_;
  input_seen_ = InputCame();
}

LayerRuntime::LayerRuntime(LayerDisplay& display, wl_output* output)
    : display_(display), output_(output) {}

LayerRuntime::~LayerRuntime() {
  if (layer_ != nullptr) zwlr_layer_surface_v1_destroy(layer_);
  surface_.reset();
  buffers_ = ShmBuffers();
  display_.globals().Flush();
}

void LayerRuntime::Open() {
  backend::wayland::Globals& globals = display_.globals();
  // The output's whole area, with no frame, is the field's outer size.
  SetAssumedFrame(0, 0);
  surface_.emplace(globals, nullptr, output_);
  // A screensaver above every window and panel: on the overlay where a
  // session locker can run, since its lock surfaces come above even that;
  // elsewhere on the top layer, so that a locker's own overlay surfaces (on
  // a compositor without the lock protocol) stay above it.
  const bool saver = display_.role() == LayerRole::kScreensaver;
  const auto layer = !saver                          ? ZWLR_LAYER_SHELL_V1_LAYER_BACKGROUND
                     : display_.SessionLockOffered() ? ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY
                                                     : ZWLR_LAYER_SHELL_V1_LAYER_TOP;
  layer_ = zwlr_layer_shell_v1_get_layer_surface(globals.layer_shell(), surface_->surface(),
                                                 output_, layer, "glimmerfeld");
  static const zwlr_layer_surface_v1_listener listener = {
      [](void* data, zwlr_layer_surface_v1*, std::uint32_t serial, std::uint32_t width,
         std::uint32_t height) {
        auto* self = static_cast<LayerRuntime*>(data);
        self->logical_w_ = static_cast<int>(width);
        self->logical_h_ = static_cast<int>(height);
        self->unacked_ = serial;
        self->configured_ = width > 0 && height > 0;
        self->display_.Notice();
      },
      [](void* data, zwlr_layer_surface_v1*) {
        auto* self = static_cast<LayerRuntime*>(data);
        self->closed_ = true;
        self->display_.Notice();
      }};
  zwlr_layer_surface_v1_add_listener(layer_, &listener, this);
  zwlr_layer_surface_v1_set_anchor(
      layer_, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
                  ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT);
  // The whole output, whatever space panels keep for themselves.
  zwlr_layer_surface_v1_set_exclusive_zone(layer_, -1);
  zwlr_layer_surface_v1_set_keyboard_interactivity(
      layer_, saver ? ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_EXCLUSIVE
                    : ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_NONE);
  // The screensaver takes the pointer over all of itself (a frame surface
  // takes none by default).
  if (saver) wl_surface_set_input_region(surface_->surface(), nullptr);
  // The first commit, with no buffer, asks for the size.
  wl_surface_commit(surface_->surface());
  while (!configured_ && !closed_) {
    if (wl_display_roundtrip_queue(globals.display(), globals.queue()) < 0)
      throw StartupError("lost the connection to the display (" + display_.name() + ")");
    if (!configured_ && !closed_ && unacked_) {
      // Sized 0 x 0: the compositor has no size for it yet.
      throw StartupError("the compositor (" + display_.name() +
                         ") gave the field no size on an output");
    }
  }
  Follow();
}

int LayerRuntime::DeviceLength(int logical) const {
  return static_cast<int>(std::lround(logical * surface_->Scale()));
}

void LayerRuntime::Follow() {
  const double scale = surface_->Scale();
  if (scale != applied_scale_) {
    applied_scale_ = scale;
    SetScale(scale);
  }
  const int w = DeviceLength(logical_w_), h = DeviceLength(logical_h_);
  if (w != client_width() || h != client_height()) SetClientSize(w, h, std::make_pair(0, 0));
}

void LayerRuntime::Present() {
  if (!configured_ || closed_) return;
  Follow();
  RuntimeCore::Present(*this);
}

std::optional<FrameSink::Buffer> LayerRuntime::Acquire() {
  // The last frame is not on the screen yet: a new one would only replace it.
  // (What the compositor said is as fresh as the wait and the loop's look at
  // events just before.)
  if (surface_->FramePending() || display_.Lost()) return std::nullopt;
  const int w = client_width(), h = client_height();
  if (w <= 0 || h <= 0) return std::nullopt;
  const auto taken = buffers_.Take(display_.globals().shm(), w, h);
  if (!taken) return std::nullopt;
  current_ = taken->buffer;
  return taken->AsFrameBuffer();
}

void LayerRuntime::Submit(const std::vector<Rect>& damage) {
  if (current_ == nullptr) return;
  if (unacked_) zwlr_layer_surface_v1_ack_configure(layer_, *std::exchange(unacked_, std::nullopt));
  surface_->Commit(*std::exchange(current_, nullptr), logical_w_, logical_h_, damage);
}

}  // namespace glimmer
