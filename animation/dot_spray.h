// The dot spray: every tick plots a burst of randomly placed, bright points.
#pragma once

#include "runtime/core/services.h"

namespace glimmer {

inline constexpr int kDotsPerTick = 403;

// One channel from a random Single: 255 r + 30 formed in double and rounded
// half to even, so 30..285; compose colour caps it at 255.
inline Int16 ChannelFrom(Single r) {
  return ToInt16(CheckFloat(static_cast<double>(r) * 255.0 + 30.0, "a colour channel"));
}

// Each point takes five numbers, in the order x, y, red, green, blue, and reads
// the window's outer size afresh, so a tick draws 2015 numbers and makes 806
// size reads. Every point is plotted before the next one is drawn.
template <Services Rt>
void SprayDots(Rt& rt) {
  for (int i = 0; i < kDotsPerTick; ++i) {
    const Single w = rt.WindowWidth();
    const Single r1 = rt.NextRandom();
    const Single h = rt.WindowHeight();
    const Single r2 = rt.NextRandom();
    const Single r3 = rt.NextRandom();
    const Single r4 = rt.NextRandom();
    const Single r5 = rt.NextRandom();
    const Int16 blue = ChannelFrom(r5);
    const Int16 green = ChannelFrom(r4);
    const Int16 red = ChannelFrom(r3);
    const Colour colour = ComposeColour(red, green, blue);
    // Single times Single is exact in double, so one rounding to Single here
    // equals the rounded Single product.
    const Single y = ToSingle(static_cast<double>(r2) * static_cast<double>(h), "a point's y");
    const Single x = ToSingle(static_cast<double>(r1) * static_cast<double>(w), "a point's x");
    rt.PlotPoint(x, y, colour);
  }
}

}  // namespace glimmer
