#include "runtime/layer/layer_runtime.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "runtime/desktop/linux/linux_system.h"

namespace glimmer {

using backend::wayland::ShmBuffers;

LayerDisplay::LayerDisplay() {
  const char* socket = std::getenv("WAYLAND_DISPLAY");
  name_ = std::string("WAYLAND_DISPLAY=") + (socket != nullptr ? socket : "wayland-0");
  backend::linux_desktop::PrepareWaylandOnly();
  display_ = wl_display_connect(nullptr);
  if (display_ == nullptr) throw StartupError("cannot connect to the display (" + name_ + ")");
  globals_.emplace();
  if (!globals_->Bind(display_, /*own_display=*/true))
    throw StartupError("the compositor (" + name_ + ") offers no wl_compositor or wl_shm");
  if (globals_->layer_shell() == nullptr) {
    throw StartupError("the compositor (" + name_ +
                       ") has no layer shell (wlr-layer-shell), which --background needs: sway, "
                       "KWin, labwc, Hyprland and niri have it, GNOME's mutter and weston do not");
  }
  globals_->WatchOutputs([this](wl_output* o) { new_outputs_.push_back(o); },
                         [this](wl_output* o) {
                           std::erase(new_outputs_, o);
                           if (gone_) gone_(o);
                         });
}

LayerDisplay::~LayerDisplay() {
  globals_.reset();
  if (display_ != nullptr) wl_display_disconnect(display_);
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
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void LayerDisplay::Dispatch() {
  globals_->Dispatch();
  // The display's own events (errors, ids let go of) come on its default
  // queue, which nobody else reads here.
  wl_display_dispatch_pending(display_);
}

void LayerDisplay::WaitUntil(Nanos deadline) {
  if (Lost() || SignalledToEnd()) return;
  wl_event_queue* queue = globals_->queue();
  while (wl_display_prepare_read_queue(display_, queue) != 0)
    wl_display_dispatch_queue_pending(display_, queue);
  wl_display_flush(display_);
  const Nanos now = Now();
  // Whole milliseconds, rounded up: waking early would only spin.
  const Nanos wait = std::max<Nanos>(0, deadline - now);
  const int timeout = static_cast<int>(std::min<Nanos>((wait + 999'999) / 1'000'000, 1000));
  pollfd fd{wl_display_get_fd(display_), POLLIN, 0};
  // A signal cuts the wait short (EINTR): the loop then sees the request.
  if (poll(&fd, 1, timeout) > 0) {
    wl_display_read_events(display_);
  } else {
    wl_display_cancel_read(display_);
  }
  Dispatch();
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
  SetStartSize(0, 0, 0, 0);
  surface_.emplace(globals, nullptr, output_);
  layer_ =
      zwlr_layer_shell_v1_get_layer_surface(globals.layer_shell(), surface_->surface(), output_,
                                            ZWLR_LAYER_SHELL_V1_LAYER_BACKGROUND, "glimmerfeld");
  static const zwlr_layer_surface_v1_listener listener = {
      [](void* data, zwlr_layer_surface_v1*, std::uint32_t serial, std::uint32_t width,
         std::uint32_t height) {
        auto* self = static_cast<LayerRuntime*>(data);
        self->logical_w_ = static_cast<int>(width);
        self->logical_h_ = static_cast<int>(height);
        self->unacked_ = serial;
        self->configured_ = width > 0 && height > 0;
      },
      [](void* data, zwlr_layer_surface_v1*) { static_cast<LayerRuntime*>(data)->closed_ = true; }};
  zwlr_layer_surface_v1_add_listener(layer_, &listener, this);
  zwlr_layer_surface_v1_set_anchor(
      layer_, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
                  ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT);
  // Under everything, whatever space panels keep for themselves.
  zwlr_layer_surface_v1_set_exclusive_zone(layer_, -1);
  zwlr_layer_surface_v1_set_keyboard_interactivity(
      layer_, ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_NONE);
  // The first commit, with no buffer, asks for the size.
  wl_surface_commit(surface_->surface());
  while (!configured_ && !closed_) {
    if (wl_display_roundtrip_queue(globals.display(), globals.queue()) < 0)
      throw StartupError("lost the connection to the display (" + display_.name() + ")");
    if (!configured_ && !closed_ && unacked_) {
      // Sized 0 x 0: the compositor has no size for it yet.
      throw StartupError("the compositor (" + display_.name() +
                         ") gave the background no size on an output");
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
  display_.Dispatch();
  // The last frame is not on the screen yet: a new one would only replace it.
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
