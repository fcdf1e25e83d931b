#include "tests/support/conformance.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/support/ball_finder.h"
#include "tests/support/ball_offsets.h"
#include "tools/png_writer.h"

namespace glimmer::testing {

ExpectedPicture ConformanceTable::At(double scale) const {
  for (const auto& row : rows)
    if (std::abs(row.scale - scale) < 1e-9) return row;
  ADD_FAILURE() << "the conformance table has no row for scale " << scale;
  return {};
}

ConformanceTable ReadConformanceTable(const std::string& path) {
  ConformanceTable table;
  std::ifstream in(path);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return table;
  }
  std::map<std::string, double> named;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string first;
    fields >> first;
    if (std::isalpha(static_cast<unsigned char>(first[0]))) {
      fields >> named[first];
    } else {
      ExpectedPicture row;
      row.scale = std::stod(first);
      fields >> row.client_width >> row.client_height >> row.ball >> row.line;
      if (!fields) ADD_FAILURE() << path << ": malformed row: " << line;
      table.rows.push_back(row);
    }
  }
  auto value = [&](const std::string& name) {
    if (named.count(name) == 0) ADD_FAILURE() << path << " has no " << name;
    return named[name];
  };
  table.min_channel = static_cast<int>(value("min_channel"));
  table.min_channel_5bit = static_cast<int>(value("min_channel_5bit"));
  table.frame_width_twips = value("frame_width_twips");
  table.frame_height_twips = value("frame_height_twips");
  if (table.rows.empty()) ADD_FAILURE() << path << " has no rows";
  return table;
}

std::optional<std::pair<int, int>> FindExpectedBall(const Image& image, const ExpectedPicture& e) {
  return FindBall(image, BallOffsets(e.ball, e.line), e.ball);
}

bool ShowsBallAndField(const Image& image, const ExpectedPicture& e, std::size_t min_lit) {
  return image.width == e.client_width && image.height == e.client_height &&
         LitCount(image) >= min_lit && FindExpectedBall(image, e).has_value();
}

void ExpectConformingPicture(const Image& image, const ExpectedPicture& e, int min_channel,
                             const std::string& cell) {
  SCOPED_TRACE(cell);
  EXPECT_EQ(image.width, e.client_width) << "client width";
  EXPECT_EQ(image.height, e.client_height) << "client height";
  if (image.pixels.empty()) return;
  const auto ball = FindExpectedBall(image, e);
  EXPECT_TRUE(ball.has_value()) << "no ball " << e.ball << " px across with a " << e.line
                                << " px line";
  if (ball) {
    // A thicker line would hold the expected one: the band just inside it
    // must not be white (points on it are white only by chance).
    const auto expected = BallOffsets(e.ball, e.line);
    std::size_t band = 0, white = 0;
    for (const auto& o : BallOffsets(e.ball, e.line + 1)) {
      if (std::find(expected.begin(), expected.end(), o) != expected.end()) continue;
      const int x = ball->first + o.first, y = ball->second + o.second;
      if (x < 0 || y < 0 || x >= image.width || y >= image.height) continue;
      ++band;
      if (image.at(x, y) == 0xffffffu) ++white;
    }
    EXPECT_LT(white * 2, band) << "the ball's line is thicker than " << e.line << " px";
  }
  std::size_t dim = 0, points = 0, blocks = 0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const std::uint32_t p = image.at(x, y);
      if (p == 0) continue;
      if (Image::Red(p) < min_channel || Image::Green(p) < min_channel ||
          Image::Blue(p) < min_channel) {
        ++dim;
        continue;
      }
      if (p == 0xffffffu || x + 1 >= image.width || y + 1 >= image.height) continue;
      ++points;
      // A point drawn at the scale of 96 dpi and enlarged would be the
      // top-left of a block of its own colour.
      if (image.at(x + 1, y) == p && image.at(x, y + 1) == p && image.at(x + 1, y + 1) == p)
        ++blocks;
    }
  }
  const std::string png = "/tmp/glimmer-conformance-" + cell + ".png";
  if (dim != 0) WritePng(png, image.width, image.height, image.pixels);
  EXPECT_EQ(dim, 0u) << "pixels neither black nor a point with every channel >= " << min_channel
                     << " (see " << png << ")";
  EXPECT_GT(points, 0u) << "no points";
  std::printf("[%s] %zu of %zu points are same-coloured 2x2 blocks\n", cell.c_str(), blocks,
              points);
  EXPECT_LT(blocks * 20, points) << "points are larger than one device pixel";
}

void ExpectNothingLostUnderACover(XProbe& probe, Window w) {
  using namespace std::chrono_literals;
  const Image before = probe.Capture(w);
  const Window cover = probe.Cover(w);
  probe.CaptureUntil(
      w, [](const Image& i) { return LitCount(i) == i.pixels.size(); }, 5s);
  probe.RemoveCover(cover);
  const Image after = probe.CaptureUntil(w, [&](const Image& i) {
    return LitCount(i) > LitCount(before) && LostPoints(before, i) == 0;
  });
  EXPECT_EQ(LostPoints(before, after), 0u) << "points lost under the cover";
}

}  // namespace glimmer::testing
