#include "runtime/desktop/renderer_sink.h"

#include <SDL3/SDL.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace glimmer {
namespace {

class RendererSink final : public FrameSink {
 public:
  explicit RendererSink(SDL_Renderer* renderer) : renderer_(renderer) {}
  ~RendererSink() override {
    if (texture_ != nullptr) SDL_DestroyTexture(texture_);
    SDL_DestroyRenderer(renderer_);
  }
  RendererSink(const RendererSink&) = delete;
  RendererSink& operator=(const RendererSink&) = delete;

  int Buffers() const override { return 1; }

  std::optional<Buffer> Acquire() override {
    int w = 0, h = 0;
    if (!SDL_GetCurrentRenderOutputSize(renderer_, &w, &h) || w <= 0 || h <= 0) return std::nullopt;
    bool fresh = false;
    if (texture_ == nullptr || w != width_ || h != height_) {
      if (texture_ != nullptr) SDL_DestroyTexture(texture_);
      texture_ =
          SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_XRGB8888, SDL_TEXTUREACCESS_STREAMING, w, h);
      if (texture_ == nullptr) return std::nullopt;
      width_ = w;
      height_ = h;
      frame_.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
      fresh = true;
    }
    Buffer b;
    b.pixels = frame_.data();
    b.width = w;
    b.height = h;
    b.pitch = w;
    b.layout = PixelLayout{16, 8, 0, 0};
    b.fresh = fresh;
    return b;
  }

  void Submit(const std::vector<Rect>&) override {
    // The whole frame goes up each time: the points of one frame are spread
    // over all of it.
    if (!SDL_UpdateTexture(texture_, nullptr, frame_.data(), width_ * 4) ||
        !SDL_RenderTexture(renderer_, texture_, nullptr, nullptr)) {
      SDL_DestroyTexture(texture_);
      texture_ = nullptr;
      return;
    }
    SDL_RenderPresent(renderer_);
  }

  std::string Describe() const override {
    const char* name = SDL_GetRendererName(renderer_);
    if (name == nullptr) return "renderer";
    return std::string("renderer ") + name;
  }

 private:
  SDL_Renderer* renderer_;
  SDL_Texture* texture_ = nullptr;
  std::vector<std::uint32_t> frame_;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace

std::unique_ptr<FrameSink> MakeRendererSink(SDL_Window* window) {
  SDL_Renderer* renderer = SDL_CreateRenderer(window, nullptr);
  if (renderer == nullptr) return nullptr;
  return std::make_unique<RendererSink>(renderer);
}

}  // namespace glimmer
