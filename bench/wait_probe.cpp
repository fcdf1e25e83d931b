// wait_probe (Windows): how long a wait for window events asked to last 1, 2
// or 5 ms really takes, through SDL_WaitEventTimeout and through the
// backend's own WaitEvent, with a window open and no events coming. Prints
// one line per case; scripts/measure-program --windows-build runs it.
#define SDL_MAIN_HANDLED
#include <SDL3/SDL.h>
#include <SDL3/SDL_main.h>

#include <chrono>
#include <cstdio>

#include "runtime/desktop/backend.h"
#include "runtime/desktop/sdl_runtime.h"

int main() {
  glimmer::backend::PrepareVideo(glimmer::WindowSettings{});
  if (!SDL_Init(SDL_INIT_VIDEO)) return 1;
  const glimmer::backend::Backend& backend = glimmer::backend::Started();
  SDL_Window* window = SDL_CreateWindow("wait probe", 100, 100, 0);
  if (window == nullptr) return 1;
  SDL_Event event;
  while (SDL_PollEvent(&event)) {
  }
  for (const bool sdl : {true, false}) {
    for (const int ms : {1, 2, 5}) {
      constexpr int kWaits = 100;
      double total = 0, worst = 0;
      for (int i = 0; i < kWaits; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (sdl) {
          SDL_WaitEventTimeout(&event, ms);
        } else {
          backend.WaitEvent(event, ms);
        }
        const double took =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        total += took;
        if (took > worst) worst = took;
      }
      std::printf("%s for %d ms: %.2f ms on average, %.2f ms at worst, over %d waits\n",
                  sdl ? "SDL_WaitEventTimeout" : "Backend::WaitEvent", ms, total / kWaits, worst,
                  kWaits);
    }
  }
  std::fflush(stdout);
  SDL_DestroyWindow(window);
  backend.BeginTeardown();
  SDL_Quit();
  return 0;
}
