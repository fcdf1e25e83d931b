// The program's icon, drawn in its own look: bright speckles on black under
// the white ball, with the program's own generator, colour rule and ball
// shape, so that the icon follows the program if either changes. The window
// carries it, and tools/make_icon writes the installed icon files from it, so
// both always show the same picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/core/types.h"

namespace glimmer::icon_art {

// A fixed seed: the icon must not change from one run to the next.
inline constexpr std::uint64_t kSeed = 0x676c696d6d6572ULL;
inline constexpr std::uint64_t kStream = 6;
inline constexpr int kMaxSpeckles = 240;
// Speckles cover about this share of the square at every size; a fixed count
// would swamp the small icons and leave the large ones bare.
inline constexpr double kCoverage = 0.10;
inline constexpr double kSpeckleSide = 1.0 / 40.0;  // of the icon's side
inline constexpr double kBallDiameter = 0.5625;     // of the icon's side
inline constexpr double kBallThickness = 1.0 / 16.0;
// The window's own icon; window managers scale it for title bars and switchers.
inline constexpr int kWindowIconSize = 64;

struct Speckle {
  float u = 0;  // position as a share of the icon's side, in [0, 1)
  float v = 0;
  Colour colour = 0;
};

// The same speckles for every size, drawn as the dot spray draws its points:
// x, y, red, green, blue. Each size uses a prefix of the list, so the sizes
// agree where they overlap.
std::vector<Speckle> MakeSpeckles();

int SpeckleSide(int size);
std::size_t SpeckleCount(int size, int side);
int BallDiameter(int size);
int BallThickness(int size);

// The icon as size x size pixels, 0x00RRGGBB, row by row.
std::vector<std::uint32_t> DrawPixels(int size, const std::vector<Speckle>& speckles);

}  // namespace glimmer::icon_art
