// make_icon: draws the application icon in the program's own look, bright
// speckles on black under the white ring, with the program's own generator,
// colour rule and ring shape, so the icon follows the program if either
// changes. The output depends on nothing but this code: running it twice, or
// on another machine with the same zlib, gives the same bytes.
//   make_icon OUTDIR   writes OUTDIR/<N>x<N>/apps/glimmerfeld.png for every
//                      installed size and OUTDIR/scalable/apps/glimmerfeld.svg
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "animation/dot_spray.h"
#include "runtime/canvas.h"
#include "runtime/pcg32.h"
#include "runtime/services.h"
#include "tests/support/x11_probe.h"

namespace {

using glimmer::Colour;

constexpr int kPixelSizes[] = {16, 24, 32, 48, 64, 128, 256};
constexpr int kSvgSize = 256;  // the scalable icon's coordinate system
constexpr const char* kIconName = "glimmerfeld";

// A fixed seed: the icon must not change from one run to the next.
constexpr std::uint64_t kSeed = 0x676c696d6d6572ULL;
constexpr std::uint64_t kStream = 6;
constexpr int kMaxSpeckles = 240;
// Speckles cover about this share of the square at every size; a fixed count
// would swamp the small icons and leave the large ones bare.
constexpr double kCoverage = 0.10;
constexpr double kSpeckleSide = 1.0 / 40.0;  // of the icon's side
constexpr double kRingDiameter = 0.5625;     // of the icon's side
constexpr double kRingThickness = 1.0 / 16.0;

struct Speckle {
  float u = 0;  // position as a share of the icon's side, in [0, 1)
  float v = 0;
  Colour colour = 0;
};

// The same speckles for every size, drawn as the dot spray draws its points:
// x, y, red, green, blue. Each size uses a prefix of the list, so the sizes
// agree where they overlap.
std::vector<Speckle> MakeSpeckles() {
  glimmer::Pcg32 gen(kSeed, kStream);
  std::vector<Speckle> out;
  for (int i = 0; i < kMaxSpeckles; ++i) {
    Speckle s;
    s.u = gen.NextSingle();
    s.v = gen.NextSingle();
    const glimmer::Integer red = glimmer::ChannelFrom(gen.NextSingle());
    const glimmer::Integer green = glimmer::ChannelFrom(gen.NextSingle());
    const glimmer::Integer blue = glimmer::ChannelFrom(gen.NextSingle());
    s.colour = glimmer::ComposeColour(red, green, blue);
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

int RingDiameter(int size) {
  return static_cast<int>(std::lround(size * kRingDiameter));
}

int RingThickness(int size) {
  return std::max(1, static_cast<int>(std::lround(size * kRingThickness)));
}

glimmer::testing::Image DrawPixels(int size, const std::vector<Speckle>& speckles) {
  glimmer::Canvas canvas;
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

  glimmer::testing::Image image;
  image.width = size;
  image.height = size;
  image.pixels.resize(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
  canvas.CopyVisibleTo(image.pixels.data(), size);

  glimmer::BallOverlay ring;
  const int diameter = RingDiameter(size);
  ring.SetShape(diameter, RingThickness(size));
  const std::int64_t corner = (size - diameter) / 2;
  ring.Draw(canvas, image.pixels.data(), size, corner, corner, canvas.ToPixel(0xffffffu));
  return image;
}

// The same picture as a vector drawing, at kSvgSize units.
std::string DrawSvg(const std::vector<Speckle>& speckles) {
  const int size = kSvgSize;
  const double side = size * kSpeckleSide;
  const std::size_t count = SpeckleCount(size, SpeckleSide(size));
  std::string out;
  char line[256];
  std::snprintf(line, sizeof line,
                "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
                "viewBox=\"0 0 %d %d\">\n",
                size, size, size, size);
  out += line;
  std::snprintf(line, sizeof line, "<rect width=\"%d\" height=\"%d\" fill=\"#000000\"/>\n", size,
                size);
  out += line;
  for (std::size_t i = 0; i < count; ++i) {
    const Speckle& s = speckles[i];
    const double x = std::min(static_cast<double>(s.u) * size, size - side);
    const double y = std::min(static_cast<double>(s.v) * size, size - side);
    std::snprintf(line, sizeof line,
                  "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" "
                  "fill=\"#%02x%02x%02x\"/>\n",
                  x, y, side, side, s.colour & 0xffu, (s.colour >> 8) & 0xffu,
                  (s.colour >> 16) & 0xffu);
    out += line;
  }
  // The ring's band lies just inside the circle that fills its box, as the
  // pixel outline does; a stroke is centred on its path, hence the half.
  const double thickness = size * kRingThickness;
  const double radius = size * kRingDiameter / 2.0 - thickness / 2.0;
  std::snprintf(line, sizeof line,
                "<circle cx=\"%.2f\" cy=\"%.2f\" r=\"%.2f\" fill=\"none\" stroke=\"#ffffff\" "
                "stroke-width=\"%.2f\"/>\n",
                size / 2.0, size / 2.0, radius, thickness);
  out += line;
  out += "</svg>\n";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon OUTDIR\n");
    return 2;
  }
  namespace fs = std::filesystem;
  try {
    const fs::path root = argv[1];
    const std::vector<Speckle> speckles = MakeSpeckles();
    for (const int size : kPixelSizes) {
      const fs::path dir = root / (std::to_string(size) + "x" + std::to_string(size)) / "apps";
      fs::create_directories(dir);
      const fs::path file = dir / (std::string(kIconName) + ".png");
      if (!glimmer::testing::WritePng(DrawPixels(size, speckles), file.string())) {
        std::fprintf(stderr, "make_icon: cannot write %s\n", file.c_str());
        return 1;
      }
    }
    const fs::path dir = root / "scalable" / "apps";
    fs::create_directories(dir);
    const fs::path file = dir / (std::string(kIconName) + ".svg");
    std::ofstream svg(file, std::ios::binary);
    svg << DrawSvg(speckles);
    svg.close();
    if (!svg) {
      std::fprintf(stderr, "make_icon: cannot write %s\n", file.c_str());
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_icon: %s\n", e.what());
    return 1;
  } catch (const glimmer::RunTimeError& e) {
    std::fprintf(stderr, "make_icon: %s\n", e.Message().c_str());
    return 1;
  }
  return 0;
}
