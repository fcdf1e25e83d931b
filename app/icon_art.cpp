#include "app/icon_art.h"

#include <algorithm>
#include <cmath>

#include "animation/dot_spray.h"
#include "runtime/core/ball_overlay.h"
#include "runtime/core/canvas.h"
#include "runtime/core/pcg32.h"

namespace glimmer::icon_art {

std::vector<Speckle> MakeSpeckles() {
  Pcg32 gen(kSeed, kStream);
  std::vector<Speckle> out;
  for (int i = 0; i < kMaxSpeckles; ++i) {
    Speckle s;
    s.u = gen.NextSingle();
    s.v = gen.NextSingle();
    const Int16 red = ChannelFrom(gen.NextSingle());
    const Int16 green = ChannelFrom(gen.NextSingle());
    const Int16 blue = ChannelFrom(gen.NextSingle());
    s.colour = ComposeColour(red, green, blue);
    out.push_back(s);
  }
  return out;
}

int SpeckleSide(int size) {
  return std::max(1, static_cast<int>(std::lround(size * kSpeckleSide)));
}

std::size_t SpeckleCount(int size, int side) {
  const double wanted = kCoverage * size * size / (static_cast<double>(side) * side);
  return static_cast<std::size_t>(std::clamp(std::lround(wanted), 1L, long{kMaxSpeckles}));
}

int BallDiameter(int size) {
  return static_cast<int>(std::lround(size * kBallDiameter));
}

int BallThickness(int size) {
  return std::max(1, static_cast<int>(std::lround(size * kBallThickness)));
}

std::vector<std::uint32_t> DrawPixels(int size, const std::vector<Speckle>& speckles) {
  Canvas canvas;
  canvas.SetVisibleSize(size, size);
  const double twips = canvas.mapping().twips_per_pixel();
  const int side = SpeckleSide(size);
  const std::size_t count = SpeckleCount(size, side);
  for (std::size_t i = 0; i < count; ++i) {
    const Speckle& s = speckles[i];
    // Whole speckles only: one cut by the edge reads as a smudge.
    const int x0 = std::min(static_cast<int>(s.u * static_cast<float>(size)), size - side);
    const int y0 = std::min(static_cast<int>(s.v * static_cast<float>(size)), size - side);
    for (int y = y0; y < y0 + side; ++y) {
      for (int x = x0; x < x0 + side; ++x) {
        // The centre of the pixel, well clear of its edges.
        canvas.Plot(static_cast<float>((x + 0.5) * twips), static_cast<float>((y + 0.5) * twips),
                    s.colour);
      }
    }
  }

  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(size) *
                                    static_cast<std::size_t>(size));
  canvas.CopyVisibleTo(pixels.data(), size);

  BallOverlay ball;
  const int diameter = BallDiameter(size);
  ball.SetShape(diameter, BallThickness(size));
  const std::int64_t corner = (size - diameter) / 2;
  ball.Draw(canvas, pixels.data(), size, corner, corner, canvas.ToPixel(0xffffffu));
  return pixels;
}

}  // namespace glimmer::icon_art
