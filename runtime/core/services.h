// What the tick handlers ask of a runtime. Handlers are templates over a
// runtime type that satisfies `Services`, so the real runtimes and the
// scripted test double are called without virtual dispatch in the per-point
// path.
#pragma once

#include <concepts>

#include "runtime/core/types.h"

namespace glimmer {

// What a handler may ask of the runtime. Reads and writes report failure by
// throwing RunTimeError.
template <class R>
concept Services = requires(R& r, Single s, Colour c) {
  r.CreateBall(s, s, s);  // Left, Top, and Width (= height)
  { r.NextRandom() } -> std::same_as<Single>;
  r.Reseed();
  { r.WindowWidth() } -> std::same_as<Single>;
  { r.WindowHeight() } -> std::same_as<Single>;
  r.PlotPoint(s, s, c);
  { r.BallLeft() } -> std::same_as<Single>;
  { r.BallTop() } -> std::same_as<Single>;
  { r.BallWidth() } -> std::same_as<Single>;
  r.SetBallLeft(s);
  r.SetBallTop(s);
};

}  // namespace glimmer
