#include "runtime/desktop/wayland/wayland_globals.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace glimmer::backend::wayland {

void Globals::OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
  auto* self = static_cast<Globals*>(data);
  auto bind = [&](const wl_interface* iface, std::uint32_t wanted) {
    return wl_registry_bind(registry, name, iface, std::min(version, wanted));
  };
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    // Version 4 for damage in buffer coordinates.
    self->compositor_ = static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4));
  } else if (std::strcmp(interface, wl_subcompositor_interface.name) == 0) {
    self->subcompositor_ = static_cast<wl_subcompositor*>(bind(&wl_subcompositor_interface, 1));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    self->shm_ = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
  } else if (std::strcmp(interface, wp_viewporter_interface.name) == 0) {
    self->viewporter_ = static_cast<wp_viewporter*>(bind(&wp_viewporter_interface, 1));
  } else if (std::strcmp(interface, wp_fractional_scale_manager_v1_interface.name) == 0) {
    self->fractional_manager_ = static_cast<wp_fractional_scale_manager_v1*>(
        bind(&wp_fractional_scale_manager_v1_interface, 1));
  } else if (std::strcmp(interface, zwlr_layer_shell_v1_interface.name) == 0) {
    // Up to version 4, all of which the layer runtime handles.
    self->layer_shell_version_ = std::min<std::uint32_t>(version, 4);
    self->layer_shell_ = static_cast<zwlr_layer_shell_v1*>(
        bind(&zwlr_layer_shell_v1_interface, self->layer_shell_version_));
  } else if (std::strcmp(interface, wl_output_interface.name) == 0 && version >= 2) {
    // Version 2 brings the scale.
    auto* proxy = static_cast<wl_output*>(bind(&wl_output_interface, 2));
    self->outputs_.push_back(Output{proxy, name, 1, false});
    static const wl_output_listener listener = {
        [](void*, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
           const char*, const char*, std::int32_t) {},
        [](void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {},
        [](void*, wl_output*) {},
        [](void* d, wl_output* o, std::int32_t factor) {
          if (d == nullptr) return;  // let go of (see Abandon)
          for (Output& out : static_cast<Globals*>(d)->outputs_)
            if (out.proxy == o) out.scale = std::max(1, factor);
        },
        [](void*, wl_output*, const char*) {},
        [](void*, wl_output*, const char*) {}};
    wl_output_add_listener(proxy, &listener, self);
    if (self->output_added_) self->output_added_(proxy);
  }
}

void Globals::OnGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
  auto* self = static_cast<Globals*>(data);
  auto& outputs = self->outputs_;
  for (auto it = outputs.begin(); it != outputs.end(); ++it) {
    if (it->name == name) {
      wl_output* proxy = it->proxy;
      outputs.erase(it);
      if (self->output_removed_) self->output_removed_(proxy);
      self->LetGo(proxy);
      return;
    }
  }
}

void Globals::LetGo(wl_output* output) {
  if (own_display_) {
    wl_output_destroy(output);
  } else {
    Abandon(output);
  }
}

void Globals::WatchOutputs(std::function<void(wl_output*)> added,
                           std::function<void(wl_output*)> removed) {
  output_added_ = std::move(added);
  output_removed_ = std::move(removed);
  for (const Output& o : outputs_)
    output_added_(o.proxy);
}

// The compositor names every wl_output of the client in the enter and leave
// events of every surface, SDL's too. A destroyed proxy would reach SDL's
// handlers as a null output, which SDL need not expect, so ours stay alive
// until the connection closes, handled on SDL's queue by a listener that
// ignores them.
void Globals::Abandon(wl_output* output) {
  wl_proxy_set_user_data(reinterpret_cast<wl_proxy*>(output), nullptr);
  wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(output), nullptr);
}

bool Globals::Bind(wl_display* display, bool own_display) {
  display_ = display;
  own_display_ = own_display;
  // Everything of ours goes through this queue, which only we dispatch, so
  // that SDL's own dispatch never runs our handlers and we never run SDL's.
  queue_ = wl_display_create_queue(display_);
  wrapper_ = static_cast<wl_display*>(wl_proxy_create_wrapper(display_));
  if (queue_ == nullptr || wrapper_ == nullptr) return false;
  wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper_), queue_);
  registry_ = wl_display_get_registry(wrapper_);
  static const wl_registry_listener listener = {OnGlobal, OnGlobalRemove};
  wl_registry_add_listener(registry_, &listener, this);
  // The globals, then the outputs' scales.
  if (wl_display_roundtrip_queue(display_, queue_) < 0 ||
      wl_display_roundtrip_queue(display_, queue_) < 0) {
    return false;
  }
  return compositor_ != nullptr && shm_ != nullptr;
}

Globals::~Globals() {
  for (Output& o : outputs_)
    LetGo(o.proxy);
  if (layer_shell_ != nullptr) {
    if (layer_shell_version_ >= ZWLR_LAYER_SHELL_V1_DESTROY_SINCE_VERSION) {
      zwlr_layer_shell_v1_destroy(layer_shell_);
    } else {
      wl_proxy_destroy(reinterpret_cast<wl_proxy*>(layer_shell_));
    }
  }
  if (fractional_manager_ != nullptr) wp_fractional_scale_manager_v1_destroy(fractional_manager_);
  if (viewporter_ != nullptr) wp_viewporter_destroy(viewporter_);
  if (shm_ != nullptr) wl_shm_destroy(shm_);
  if (subcompositor_ != nullptr) wl_subcompositor_destroy(subcompositor_);
  if (compositor_ != nullptr) wl_compositor_destroy(compositor_);
  if (registry_ != nullptr) wl_registry_destroy(registry_);
  if (wrapper_ != nullptr) wl_proxy_wrapper_destroy(wrapper_);
  if (display_ != nullptr) wl_display_flush(display_);
  if (queue_ != nullptr) wl_event_queue_destroy(queue_);
}

// SDL reads the socket too; libwayland's prepare/read protocol lets both do
// so safely.
void Globals::Dispatch() {
  while (wl_display_prepare_read_queue(display_, queue_) != 0)
    wl_display_dispatch_queue_pending(display_, queue_);
  wl_display_flush(display_);
  pollfd fd{wl_display_get_fd(display_), POLLIN, 0};
  if (poll(&fd, 1, 0) > 0) {
    wl_display_read_events(display_);
  } else {
    wl_display_cancel_read(display_);
  }
  wl_display_dispatch_queue_pending(display_, queue_);
}

bool Globals::Wait(int timeout_ms) {
  if (wl_display_prepare_read_queue(display_, queue_) != 0) {
    wl_display_dispatch_queue_pending(display_, queue_);
    return true;
  }
  wl_display_flush(display_);
  pollfd fd{wl_display_get_fd(display_), POLLIN, 0};
  const int ready = poll(&fd, 1, timeout_ms);
  if (ready > 0) {
    wl_display_read_events(display_);
  } else {
    wl_display_cancel_read(display_);
  }
  wl_display_dispatch_queue_pending(display_, queue_);
  return ready >= 0 || errno != EINTR;
}

int Globals::OutputScale(wl_output* home) const {
  int entered = 0, at_home = 0, any = 1;
  for (const Output& o : outputs_) {
    if (o.entered) entered = std::max(entered, o.scale);
    if (o.proxy == home) at_home = o.scale;
    any = std::max(any, o.scale);
  }
  return entered > 0 ? entered : at_home > 0 ? at_home : any;
}

void Globals::Entered(wl_output* output, bool on) {
  for (Output& out : outputs_)
    if (out.proxy == output) out.entered = on;
}

void Globals::Follow(wl_surface* surface) {
  static const wl_surface_listener listener = {
      [](void* d, wl_surface*, wl_output* o) { static_cast<Globals*>(d)->Entered(o, true); },
      [](void* d, wl_surface*, wl_output* o) { static_cast<Globals*>(d)->Entered(o, false); },
#ifdef WL_SURFACE_PREFERRED_BUFFER_SCALE_SINCE_VERSION
      // Wayland 1.22's hints, sent only to surfaces of wl_compositor 6: the
      // outputs' scales tell the same.
      [](void*, wl_surface*, std::int32_t) {},
      [](void*, wl_surface*, std::uint32_t) {},
#endif
  };
  wl_surface_add_listener(surface, &listener, this);
}

}  // namespace glimmer::backend::wayland
