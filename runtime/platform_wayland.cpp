// PLATFORM: Wayland under the portable SDL runtime.
// COVERS: a look at the compositor before SDL starts on it. Frames:
//   wayland_presenter.cpp.
// LIMITATIONS: only the seat and whether the compositor answers are looked
//   at; SDL finds out the rest.
// DEPENDENCIES: wayland-client.
#include <wayland-client.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/platform_linux.h"

namespace glimmer::platform::wayland {

// SDL 2.26 dereferences a missing input seat inside SDL_Init and crashes (a
// headless compositor has none). Later releases are reported fixed upstream;
// the check costs one round trip and keeps every version safe. A compositor
// that cannot be reached is ruled out here too, so that the one line saying
// so is ours rather than libwayland's and SDL's.
std::string Unusable() {
  // A socket handed down by a launcher can be taken only once: leave it to SDL.
  const char* socket = std::getenv("WAYLAND_SOCKET");
  if (socket != nullptr && socket[0] != '\0') return {};
  const char* env = std::getenv("WAYLAND_DISPLAY");
  const std::string name = env != nullptr && env[0] != '\0' ? env : "wayland-0";
  const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
  if (name[0] != '/' && (runtime_dir == nullptr || runtime_dir[0] != '/')) {
    return "cannot connect to the display (WAYLAND_DISPLAY=" + name +
           "): XDG_RUNTIME_DIR is not set";
  }
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    return "cannot connect to the display (WAYLAND_DISPLAY=" + name + "): " + std::strerror(errno);
  }
  bool seat = false;
  static const wl_registry_listener listener = {
      [](void* data, wl_registry*, std::uint32_t, const char* interface, std::uint32_t) {
        if (std::strcmp(interface, "wl_seat") == 0) *static_cast<bool*>(data) = true;
      },
      [](void*, wl_registry*, std::uint32_t) {}};
  wl_registry* registry = wl_display_get_registry(display);
  bool answered = false;
  if (registry != nullptr) {
    wl_registry_add_listener(registry, &listener, &seat);
    answered = wl_display_roundtrip(display) >= 0;
    wl_registry_destroy(registry);
  }
  wl_display_disconnect(display);
  if (!answered) return "the Wayland compositor (WAYLAND_DISPLAY=" + name + ") does not answer";
  if (!seat) {
    return "the Wayland compositor (WAYLAND_DISPLAY=" + name +
           ") offers no input seat, which SDL cannot start without";
  }
  return {};
}

}  // namespace glimmer::platform::wayland
