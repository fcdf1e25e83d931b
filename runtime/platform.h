// What a window system or operating system adds to the portable SDL runtime.
// Each runtime/platform_<name>.cpp fills in this list and CMake picks the
// files for the target, so the portable code carries no #ifdef per platform.
// A new platform starts as a copy of one of them.
#pragma once

#include <string>

struct SDL_Window;
union SDL_Event;

namespace glimmer {
struct WindowSettings;
}

namespace glimmer::platform {

// Before SDL starts: chooses the video drivers SDL may try (SDL_VIDEODRIVER
// stays the user's override) and sets up what the process needs, such as
// error handlers or DPI awareness. Throws StartupError when nothing could
// show a window.
void PrepareVideo(const WindowSettings& settings);

// Device pixels per pixel at 96 dpi for the display the window, created
// hidden at its 96-dpi size, is on.
double DisplayScale(SDL_Window* window);

// The window was just created and is still hidden.
void PrepareWindow(SDL_Window* window);

// Waits up to `timeout_ms` for an event (0: only looks) and takes it;
// false if none came.
bool WaitEvent(SDL_Event& event, int timeout_ms);

// A start-up failure, already printed on stderr, shown where the user looks.
void ShowStartupError(const std::string& message);

// The window is about to be destroyed.
void BeginTeardown();

}  // namespace glimmer::platform
