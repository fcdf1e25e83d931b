#include "runtime/desktop/surface_sink.h"

#include <SDL3/SDL.h>

#include <string>

#include "runtime/core/window_settings.h"

namespace glimmer {
namespace {

bool IsPlain32(const SDL_Surface* s) {
  const SDL_PixelFormatDetails* f = SDL_GetPixelFormatDetails(s->format);
  return f != nullptr && f->bytes_per_pixel == 4 && f->Rbits == 8 && f->Gbits == 8 &&
         f->Bbits == 8 && f->Rshift % 8 == 0 && f->Gshift % 8 == 0 && f->Bshift % 8 == 0 &&
         !SDL_MUSTLOCK(s) && s->pitch % 4 == 0;
}

}  // namespace

SdlSurfaceSink::~SdlSurfaceSink() {
  if (shadow_ != nullptr) SDL_DestroySurface(shadow_);
}

void SdlSurfaceSink::Check() {
  Attach();
  if (surface_ == nullptr) {
    throw StartupError(std::string("cannot draw into the window: ") + SDL_GetError());
  }
  if (shadow_ != nullptr && !SDL_BlitSurface(shadow_, nullptr, surface_, nullptr)) {
    throw StartupError(std::string("cannot draw in the window's pixel format (") +
                       SDL_GetPixelFormatName(surface_->format) + "): " + SDL_GetError());
  }
}

std::optional<FrameSink::Buffer> SdlSurfaceSink::Acquire() {
  bool fresh = false;
  if (surface_ != nullptr) {
    // A resize replaces the surface; SDL frees the old one when asked for the new.
    int w = 0, h = 0;
    SDL_GetWindowSizeInPixels(window_, &w, &h);
    if (w != surface_->w || h != surface_->h) surface_ = nullptr;
  }
  if (surface_ == nullptr) {
    Attach();
    fresh = true;
  }
  if (surface_ == nullptr) return std::nullopt;  // tried again at the next frame
  const SDL_Surface* target = shadow_ != nullptr ? shadow_ : surface_;
  Buffer b;
  b.pixels = static_cast<std::uint32_t*>(target->pixels);
  b.width = target->w;
  b.height = target->h;
  b.pitch = target->pitch / 4;
  b.layout = layout_;
  b.fresh = fresh;
  return b;
}

void SdlSurfaceSink::Submit(const std::vector<Rect>&) {
  if (surface_ == nullptr) return;
  if (shadow_ != nullptr && !SDL_BlitSurface(shadow_, nullptr, surface_, nullptr)) {
    surface_ = nullptr;
    return;
  }
  // A failed update means the surface went stale (a resize in flight); the
  // next frame fetches a new one.
  if (!SDL_UpdateWindowSurface(window_)) surface_ = nullptr;
}

void SdlSurfaceSink::Attach() {
  surface_ = SDL_GetWindowSurface(window_);
  if (shadow_ != nullptr) {
    SDL_DestroySurface(shadow_);
    shadow_ = nullptr;
  }
  if (surface_ != nullptr && !IsPlain32(surface_)) {
    shadow_ = SDL_CreateSurface(surface_->w, surface_->h, SDL_PIXELFORMAT_XRGB8888);
    if (shadow_ == nullptr) surface_ = nullptr;
  }
  // Looked up once per surface, not per frame.
  const SDL_Surface* target = shadow_ != nullptr ? shadow_ : surface_;
  const SDL_PixelFormatDetails* f =
      target != nullptr ? SDL_GetPixelFormatDetails(target->format) : nullptr;
  if (f == nullptr) {
    surface_ = nullptr;
    return;
  }
  layout_ = PixelLayout{f->Rshift, f->Gshift, f->Bshift, f->Amask};
}

}  // namespace glimmer
