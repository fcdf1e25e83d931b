// What a correct window looks like at a display scale, from the table in
// tests/conformance/expected.tsv that every platform's harness reads, the
// checks of one captured client area against it, and of how the program ends.
// A harness only starts the program and hands its pixels here, decoded to 8
// bits a channel.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/x11_probe.h"

namespace glimmer::testing {

// Enough points that the field is well under way, whatever the scale.
inline constexpr std::size_t kField = 5000;

struct ExpectedPicture {
  double scale = 1;
  int client_width = 0;  // device pixels
  int client_height = 0;
  int ball = 0;  // the ball's outer box, a side, in device pixels
  int line = 0;  // its line thickness
};

struct ConformanceTable {
  int min_channel = 0;       // every lit pixel's channels, 8 bits a channel
  int min_channel_5bit = 0;  // the same, read back from a 5-bit channel
  // The frame assumed where nothing names one, in twips.
  double frame_width_twips = 0;
  double frame_height_twips = 0;
  std::vector<ExpectedPicture> rows;

  // The row for `scale`; a failure (and a zero row) if the table has none.
  ExpectedPicture At(double scale) const;
};

// Reads the table; a failure (and an empty table) if it cannot.
ConformanceTable ReadConformanceTable(const std::string& path = GLIMMER_CONFORMANCE_TABLE);

// Where the expected ball is in `image`, if it shows.
std::optional<std::pair<int, int>> FindExpectedBall(const Image& image, const ExpectedPicture& e);

// A capture worth judging: it shows the expected ball and a field of points.
bool ShowsBallAndField(const Image& image, const ExpectedPicture& e, std::size_t min_lit);

// Every check of one capture, each failure naming `cell`: the client size;
// the ball's box and thickness; every pixel either black or a point whose
// channels are all at least `min_channel`; points single device pixels.
void ExpectConformingPicture(const Image& image, const ExpectedPicture& e, int min_channel,
                             const std::string& cell);

// Covers window `w` with another client's window, shows it again, and
// expects every pixel lit before (the ball aside) lit afterwards.
void ExpectNothingLostUnderACover(XProbe& probe, Window w);

// Ends the program with SIGTERM: status 0 and nothing on stderr, on every
// display.
inline void ExpectCleanEndOnSigterm(Child& program) {
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(std::chrono::seconds(30)), std::optional<int>(0));
  EXPECT_EQ(program.Stderr(), "");
}

// The program, left alone, refuses the display: status 1, no core, and one
// line on stderr that says `says`.
inline void ExpectRefusedInOneLine(Child& program, const std::string& says) {
  const auto status = program.Wait(std::chrono::seconds(30));
  ASSERT_TRUE(status.has_value()) << "runs on";
  EXPECT_EQ(*status, 1) << "ended by signal " << *status - 128;
  const std::string err = program.Stderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find(says), std::string::npos) << err;
  EXPECT_FALSE(program.dumped_core());
}

// A parameterised cell's name, for its test's name.
template <typename Cell>
std::string CellName(const ::testing::TestParamInfo<Cell>& info) {
  return info.param.name;
}

}  // namespace glimmer::testing
