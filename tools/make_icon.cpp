// make_icon: writes the application icon (app/icon_art.h) as the files a
// desktop installs. The output depends on nothing but this code: running it
// twice, or on another machine with the same libpng and zlib, gives the same
// bytes.
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

#include "app/icon_art.h"
#include "runtime/core/types.h"
#include "tools/png_writer.h"

namespace {

using namespace glimmer::icon_art;

constexpr int kPixelSizes[] = {16, 24, 32, 48, 64, 128, 256};
constexpr int kSvgSize = 256;  // the scalable icon's coordinate system
constexpr const char* kIconName = "glimmerfeld";

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
  // The ball's band lies just inside the circle that fills its box, as the
  // pixel outline does; a stroke is centred on its path, hence the half.
  const double thickness = size * kBallThickness;
  const double radius = size * kBallDiameter / 2.0 - thickness / 2.0;
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
      if (!glimmer::WritePng(file.string(), size, size, DrawPixels(size, speckles))) {
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
