// virtual_pointer: gives a wlroots compositor's first seat a pointer until
// SIGTERM, as plugging in a mouse would. A headless compositor has none, so
// its clients get no wl_pointer; with this one, `swaymsg seat - cursor
// move|press` reaches them. It only makes the pointer, so the protocol
// (wlr-virtual-pointer-unstable-v1) is described here as far as that needs.
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// libwayland's tables are not const-correct. The pointer's requests are
// never sent: only its name matters.
const wl_interface kPointer = {"zwlr_virtual_pointer_v1", 1, 0, nullptr, 0, nullptr};
const wl_interface* kCreateTypes[] = {&wl_seat_interface, &kPointer};
const wl_message kManagerRequests[] = {{"create_virtual_pointer", "?on", kCreateTypes}};
const wl_interface kManager = {
    "zwlr_virtual_pointer_manager_v1", 1, 1, kManagerRequests, 0, nullptr};
wl_proxy* g_seat = nullptr;
wl_proxy* g_manager = nullptr;

}  // namespace

int main() {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return 1;
  static const wl_registry_listener listener = {
      [](void*, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
        if (std::strcmp(interface, "wl_seat") == 0 && g_seat == nullptr)
          g_seat = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        if (std::strcmp(interface, kManager.name) == 0)
          g_manager = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &kManager, 1));
      },
      [](void*, wl_registry*, std::uint32_t) {}};
  wl_registry_add_listener(wl_display_get_registry(display), &listener, nullptr);
  wl_display_roundtrip(display);
  if (g_seat == nullptr || g_manager == nullptr) {
    std::fprintf(stderr, "virtual_pointer: the compositor has no seat or no virtual pointers\n");
    return 1;
  }
  wl_proxy_marshal_constructor(g_manager, 0, &kPointer, g_seat, nullptr);
  while (wl_display_dispatch(display) >= 0) {
  }
  return 0;
}
