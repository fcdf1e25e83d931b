// fake_key CODE: presses and lets go of the key with the evdev code CODE
// through KWin's fake input (org_kde_kwin_fake_input 4), as a remote-desktop
// server would: KWin's virtual outputs come with no keyboard of their own.
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fake-input-client-protocol.h"

namespace {

org_kde_kwin_fake_input* g_input = nullptr;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fake_key CODE\n");
    return 2;
  }
  const auto code = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return 1;
  static const wl_registry_listener listener = {
      [](void*, wl_registry* registry, std::uint32_t name, const char* interface,
         std::uint32_t version) {
        if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 && version >= 4)
          g_input = static_cast<org_kde_kwin_fake_input*>(
              wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
      },
      [](void*, wl_registry*, std::uint32_t) {}};
  wl_registry_add_listener(wl_display_get_registry(display), &listener, nullptr);
  wl_display_roundtrip(display);
  if (g_input == nullptr) {
    std::fprintf(stderr, "fake_key: the compositor offers no fake input of version 4\n");
    return 1;
  }
  org_kde_kwin_fake_input_authenticate(g_input, "glimmerfeld tests", "a key for the screensaver");
  org_kde_kwin_fake_input_keyboard_key(g_input, code, WL_KEYBOARD_KEY_STATE_PRESSED);
  org_kde_kwin_fake_input_keyboard_key(g_input, code, WL_KEYBOARD_KEY_STATE_RELEASED);
  const bool sent = wl_display_roundtrip(display) >= 0;
  wl_display_disconnect(display);
  return sent ? 0 : 1;
}
