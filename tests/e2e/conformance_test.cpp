// The same picture on every display: the real program at each display scale
// and colour depth a desktop offers, judged by one set of checks
// (tests/support/conformance.h) against the one table of what a correct
// window looks like. Each harness here only starts the program and reads
// back its pixels. A cell that cannot run fails; none is skipped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/conformance.h"
#include "tests/support/process.h"
#include "tests/support/program_under_x.h"
#include "tests/support/x11_probe.h"

namespace glimmer::testing {
namespace {

using namespace std::chrono_literals;

struct X11Cell {
  std::string name;
  int depth;
  int dpi;
  // Without it (a remote display, say) frames go through SDL's window surface.
  bool mit_shm = true;
};

void PrintTo(const X11Cell& cell, std::ostream* os) {
  *os << cell.name;
}

class X11Conformance : public ProgramUnderX, public ::testing::WithParamInterface<X11Cell> {
 protected:
  void SetUp() override { table_ = ReadConformanceTable(); }

  // The program on a screen of `depth` bits with the desktop's Xft.dpi at
  // `dpi`: this build's, recording its run, or one built elsewhere.
  Window Start(const X11Cell& cell) {
    std::vector<std::string> args = {"-noreset"};
    if (!cell.mit_shm) args.insert(args.end(), {"-extension", "MIT-SHM"});
    StartServer(args, "3200x2400x" + std::to_string(cell.depth));
    probe_->SetResources("Xft.dpi:\t" + std::to_string(cell.dpi) + "\n");
    const std::string program = ProgramUnderTest(GLIMMERFELD_BINARY);
    if (program != GLIMMERFELD_BINARY) return Launch(program);
    return LaunchRecorded(GLIMMERFELD_RECORDING_BINARY);
  }

  // Without a window manager nothing names the frame, so the assumed one
  // counts around the client area of `expected`, in twips at its scale. A
  // program built elsewhere writes no record and is judged by its pixels.
  void ExpectTheOuterSizeInTwips(const ExpectedPicture& expected) {
    if (record_path_.empty()) {
      std::printf("%s writes no record: outer size not judged\n",
                  ProgramUnderTest(GLIMMERFELD_BINARY).c_str());
      return;
    }
    const auto run = Recorded();
    ASSERT_TRUE(run.has_value()) << "no record of the run";
    std::printf("outer size read %.9g x %.9g twips\n", run->outer_width_twips,
                run->outer_height_twips);
    const double twips_per_pixel = 15.0 / expected.scale;
    EXPECT_EQ(run->outer_width_twips,
              expected.client_width * twips_per_pixel + table_.frame_width_twips);
    EXPECT_EQ(run->outer_height_twips,
              expected.client_height * twips_per_pixel + table_.frame_height_twips);
  }

  ConformanceTable table_;
};

TEST_P(X11Conformance, ShowsTheExpectedPictureAndKeepsItWhenUncovered) {
  const X11Cell& cell = GetParam();
  const ExpectedPicture expected = table_.At(cell.dpi / 96.0);
  const int min_channel = cell.depth == 16 ? table_.min_channel_5bit : table_.min_channel;
  const Window w = Start(cell);
  ASSERT_NE(w, 0u);
  const Image shown =
      CaptureUntil(w, [&](const Image& i) { return ShowsBallAndField(i, expected, kField); });
  ExpectConformingPicture(shown, expected, min_channel, "x11-" + cell.name);

  ExpectNothingLostUnderACover(*probe_, w);

  ExpectCleanEndOnSigterm(*program_);
  ExpectTheOuterSizeInTwips(expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cells, X11Conformance,
    ::testing::Values(X11Cell{"depth24_dpi96", 24, 96}, X11Cell{"depth24_dpi120", 24, 120},
                      X11Cell{"depth24_dpi144", 24, 144}, X11Cell{"depth24_dpi192", 24, 192},
                      X11Cell{"depth30_dpi96", 30, 96}, X11Cell{"depth16_dpi96", 16, 96},
                      X11Cell{"depth24_dpi96_no_mit_shm", 24, 96, false}),
    CellName<X11Cell>);

// Where the window cannot show the field's colours, the program says so in
// one line and ends, rather than running in a black window.
class X11Refusal : public ProgramUnderX {
 protected:
  void ExpectRefused(const Child::EnvChanges& extra, const std::string& says) {
    StartProgram(GLIMMERFELD_BINARY, {}, extra);
    ASSERT_NO_FATAL_FAILURE(ExpectRefusedInOneLine(*program_, says));
    EXPECT_TRUE(probe_->WindowsTitled(kWindowTitle).empty());
  }
};

// 3-3-2 TrueColor at best: too few colours for the field.
TEST_F(X11Refusal, AnEightBitScreen) {
  StartServer({}, "1280x1024x8");
  ExpectRefused({}, "8-bit colour");
}

// The user forces the 30-bit default visual, whose pixels SDL cannot draw.
TEST_F(X11Refusal, AWindowSurfaceThatCannotBeDrawn) {
  StartServer({}, "1280x1024x30");
  Display* d = probe_->display();
  const VisualID id = XVisualIDFromVisual(DefaultVisual(d, DefaultScreen(d)));
  ExpectRefused({{"SDL_VIDEO_X11_WINDOW_VISUALID", std::to_string(id)}}, "cannot draw");
}

}  // namespace
}  // namespace glimmer::testing
