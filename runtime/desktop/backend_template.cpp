// SYSTEM AND BACKEND: a template, built for no target. A new system starts as
//   a copy of this file in a folder of its own, with each function filled in
//   and a line in runtime/desktop/CMakeLists.txt that picks it (and its
//   libraries) for its target; a new backend of an existing system copies
//   only the table. The calls are documented in backend.h. A platform
//   without SDL (the browser) is a runtime of its own instead, composing
//   RuntimeCore as runtime/web/ does.
// COVERS: what the copy does; LIMITATIONS: what it does not; DEPENDENCIES:
//   the libraries it links.
#include <SDL3/SDL.h>

#include <functional>
#include <memory>
#include <string>

#include "runtime/core/window_settings.h"
#include "runtime/desktop/backend.h"

namespace glimmer::backend {
namespace {

const Backend kBackend = {
    .driver = "template",
    .SetHostWindow = [](SDL_PropertiesID,
                        const WindowSettings&) { throw StartupError("no host windows here"); },
    .PrepareWindow = [](SDL_Window*) {},
    .MakePresenter = NoPresenter,
    .DisplayScale = [](SDL_Window*) { return 1.0; },
    .ShowWithoutWaiting = SdlShowWindow,
    .StartupDone = [] {},
    .TakeWindowNews = [] { return WindowNews{}; },
    .WindowFrame = SdlWindowFrame,
    .WaitEvent = SdlWaitEvent,
    .SetModalStep = [](std::function<void()>) {},
    .SignalledToEnd = [] { return false; },
    .OnQuitEvent = [] {},
    .PrepareErrorBox = [] { return true; },
    .BeginTeardown = [] {},
};

}  // namespace

void PrepareVideo(const WindowSettings&) {}

const Backend& Started() {
  return kBackend;
}

std::string DisplayNamed() {
  return {};
}

void ShowStartupError(const std::string&) {}

void ShowSettingsDialog(std::uint64_t, const std::string&, const std::string&) {}

}  // namespace glimmer::backend
