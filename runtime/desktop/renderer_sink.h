// Frames through an SDL_Renderer: a streaming texture, uploaded whole and
// presented each frame. The program turned this down for SDL's window
// surface; it stays, in a library of its own that the program never links,
// so that the recording build (glimmerfeld_bench --present=renderer) and the
// benchmarks can show what it costs.
#pragma once

#include <memory>

#include "runtime/core/frame_sink.h"

struct SDL_Window;

namespace glimmer {

// A sink for a window just created, still hidden; null if SDL cannot make a
// renderer for it.
std::unique_ptr<FrameSink> MakeRendererSink(SDL_Window* window);

}  // namespace glimmer
