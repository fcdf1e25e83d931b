// SDL 2.26 loads libEGL and Mesa, and makes an EGL surface, for every Wayland
// window not flagged as drawn by Vulkan. Flagged so, SDL only checks that a
// Vulkan loader offers the two instance extensions it needs; this file makes
// the program itself that loader, answering that one check. No Vulkan
// instance is ever made. Linked only into the programs that open Wayland
// windows, so that only they export the entry point SDL looks up.
#include "runtime/wayland_without_egl.h"

#include <SDL.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

// What SDL does here is its own business and changes between releases: look
// again before building against another SDL.
static_assert(SDL_VERSION_ATLEAST(2, 26, 0) && !SDL_VERSION_ATLEAST(2, 27, 0),
              "written against SDL 2.26's Wayland window creation: check it again");

namespace glimmer::platform::wayland {
namespace {

// VkExtensionProperties, as SDL reads them.
struct ExtensionProperties {
  char name[256];
  std::uint32_t spec_version;
};

std::int32_t EnumerateInstanceExtensions(const char*, std::uint32_t* count,
                                         ExtensionProperties* properties) {
  static const char* const kNames[] = {"VK_KHR_surface", "VK_KHR_wayland_surface"};
  constexpr std::uint32_t kCount = 2;
  if (properties == nullptr) {
    *count = kCount;
    return 0;  // VK_SUCCESS
  }
  const std::uint32_t n = std::min(*count, kCount);
  for (std::uint32_t i = 0; i < n; ++i) {
    std::memset(&properties[i], 0, sizeof properties[i]);
    std::strncpy(properties[i].name, kNames[i], sizeof properties[i].name - 1);
    properties[i].spec_version = 1;
  }
  *count = n;
  return n < kCount ? 5 : 0;  // VK_INCOMPLETE or VK_SUCCESS
}

}  // namespace

std::uint32_t WindowFlagsWithoutEgl() {
  // An empty name makes SDL's dlopen() return the program itself, which
  // exports vkGetInstanceProcAddr below.
  static const bool pointed = setenv("SDL_VULKAN_LIBRARY", "", 1) == 0;
  return pointed ? static_cast<std::uint32_t>(SDL_WINDOW_VULKAN) : 0;
}

}  // namespace glimmer::platform::wayland

// Found by SDL through dlsym() on the program.
extern "C"
    __attribute__((visibility("default"))) void (*vkGetInstanceProcAddr(void* instance,
                                                                        const char* name))() {
  if (instance == nullptr && std::strcmp(name, "vkEnumerateInstanceExtensionProperties") == 0) {
    return reinterpret_cast<void (*)()>(&glimmer::platform::wayland::EnumerateInstanceExtensions);
  }
  return nullptr;
}
