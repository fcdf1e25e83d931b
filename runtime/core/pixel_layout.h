// Where the 8-bit channels sit in a 32-bit device pixel, which differs from
// one way to the screen to another.
#pragma once

#include <cstdint>

#include "runtime/core/types.h"

namespace glimmer {

struct PixelLayout {
  unsigned red_shift = 16;
  unsigned green_shift = 8;
  unsigned blue_shift = 0;
  std::uint32_t alpha_mask = 0;

  bool operator==(const PixelLayout&) const = default;

  std::uint32_t Encode(Colour colour) const {
    return ((colour & 0xffu) << red_shift) | (((colour >> 8) & 0xffu) << green_shift) |
           (((colour >> 16) & 0xffu) << blue_shift) | alpha_mask;
  }
  Colour Decode(std::uint32_t pixel) const {
    return ((pixel >> red_shift) & 0xffu) | (((pixel >> green_shift) & 0xffu) << 8) |
           (((pixel >> blue_shift) & 0xffu) << 16);
  }
};

}  // namespace glimmer
