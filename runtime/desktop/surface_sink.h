// Frames through SDL's window surface: shared memory on X11, a DIB on
// Windows. One buffer, which the canvas writes every plot into as well, so a
// frame costs only the ball; a surface that is not 32-bit with 8 bits a
// channel gets a 32-bit stand-in, converted at each frame.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runtime/core/frame_sink.h"

struct SDL_Window;
struct SDL_Surface;

namespace glimmer {

class SdlSurfaceSink final : public FrameSink {
 public:
  explicit SdlSurfaceSink(SDL_Window* window) : window_(window) {}
  ~SdlSurfaceSink() override;
  SdlSurfaceSink(const SdlSurfaceSink&) = delete;
  SdlSurfaceSink& operator=(const SdlSurfaceSink&) = delete;

  // A surface SDL cannot convert into would leave a black window running
  // for ever: better to say so at once. Throws StartupError.
  void Check();

  int Buffers() const override { return 1; }
  std::optional<Buffer> Acquire() override;
  void Submit(const std::vector<Rect>& damage) override;
  std::string Describe() const override { return "window surface"; }

 private:
  void Attach();

  SDL_Window* window_;
  SDL_Surface* surface_ = nullptr;  // owned by SDL, valid until the next resize
  SDL_Surface* shadow_ = nullptr;
  PixelLayout layout_{};
};

}  // namespace glimmer
