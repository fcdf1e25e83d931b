// virtual_pointer: gives a wlroots compositor's first seat a pointer, as
// plugging in a mouse would, until SIGTERM. A headless compositor has none,
// so its clients get no wl_pointer; with this one, `swaymsg seat - cursor
// move|press` reaches them.
// Only the request that makes the pointer is sent, so the protocol
// (wlr-virtual-pointer-unstable-v1) is described here as far as that needs.
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// libwayland's tables are not const-correct.
const wl_interface* kNoTypes[] = {nullptr};
// Its requests are never sent: only its name matters.
const wl_interface kVirtualPointer = {"zwlr_virtual_pointer_v1", 1, 0, nullptr, 0, nullptr};
const wl_interface* kCreateTypes[] = {&wl_seat_interface, &kVirtualPointer};
const wl_message kManagerRequests[] = {{"create_virtual_pointer", "?on", kCreateTypes},
                                       {"destroy", "", kNoTypes}};
const wl_interface kManager = {
    "zwlr_virtual_pointer_manager_v1", 1, 2, kManagerRequests, 0, nullptr};

struct Found {
  wl_seat* seat = nullptr;
  wl_proxy* manager = nullptr;
};

}  // namespace

int main() {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "virtual_pointer: no compositor\n");
    return 1;
  }
  Found found;
  static const wl_registry_listener listener = {
      [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
         std::uint32_t) {
        auto* f = static_cast<Found*>(data);
        if (std::strcmp(interface, "wl_seat") == 0 && f->seat == nullptr)
          f->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        if (std::strcmp(interface, kManager.name) == 0)
          f->manager = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &kManager, 1));
      },
      [](void*, wl_registry*, std::uint32_t) {}};
  wl_registry_add_listener(wl_display_get_registry(display), &listener, &found);
  wl_display_roundtrip(display);
  if (found.seat == nullptr || found.manager == nullptr) {
    std::fprintf(stderr, "virtual_pointer: the compositor has no seat or no virtual pointers\n");
    return 1;
  }
  wl_proxy_marshal_constructor(found.manager, 0, &kVirtualPointer, found.seat, nullptr);
  while (wl_display_dispatch(display) >= 0) {
  }
  return 0;
}
