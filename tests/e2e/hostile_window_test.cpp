// The real program under a window system that resizes, hides, covers,
// stops and finally loses it, judged from outside by its window's pixels and
// by the counts its run reports.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <X11/Xutil.h>

#include "tests/support/ball_finder.h"
#include "tests/support/ball_offsets.h"
#include "tests/support/conformance.h"
#include "tests/support/process.h"
#include "tests/support/program_under_x.h"
#include "tests/support/withholding_window_manager.h"
#include "tests/support/x11_probe.h"

namespace glimmer::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Large enough that every size the tests give the window stays on screen,
// which capturing it whole requires. A black root (-br) leaves black, not a
// stipple, wherever the window has not painted yet.
constexpr const char* kScreen = "3200x2400x24";

// The fraction of lit pixels in a rectangle.
double Coverage(const Image& img, int x0, int y0, int x1, int y1) {
  std::size_t lit = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      lit += img.at(x, y) != 0 ? 1 : 0;
  return static_cast<double>(lit) / (static_cast<double>(x1 - x0) * (y1 - y0));
}

class HostileWindow : public ProgramUnderX {
 protected:
  // The program's first frame as the user sees it: the window's top-left
  // 300 x 300 pixels, read every millisecond from the moment it is viewable
  // (the server's black until then) until the ball's white shows in its
  // corner; and how many pixels beside the ball are lit in it. A small read
  // is quick enough to catch a frame that is up for a few milliseconds.
  std::size_t LitAtFirstSight(Window w) {
    Eventually([&] { return probe_->Viewable(w); }, 20s, 1ms);
    std::size_t lit = 0;
    const bool presented = Eventually(
        [&] {
          lit = 0;
          XImage* x = XGetImage(probe_->display(), w, 0, 0, 300, 300, AllPlanes, ZPixmap);
          if (x == nullptr) return true;
          bool ball = false;
          for (int y = 0; y < 300; ++y) {
            for (int xx = 0; xx < 300; ++xx) {
              const unsigned long p = XGetPixel(x, xx, y) & 0xffffffu;
              if (xx < 34 && y < 34 && p == 0xffffffu) ball = true;
              if ((xx > 40 || y > 40) && p != 0) ++lit;
            }
          }
          XDestroyImage(x);
          return ball;
        },
        20s, 1ms);
    if (!presented) ADD_FAILURE() << "never presented";
    return lit;
  }

  void SetUp() override { StartServer({}); }

  void StartServer(std::vector<std::string> extra) {
    extra.push_back("-br");
    ProgramUnderX::StartServer(extra, kScreen);
  }

  // Starts the program, or with `recorded` the same program that also
  // writes a record of its run on leaving, and waits for its window.
  Window Start(bool recorded = false) {
    return recorded ? LaunchRecorded(GLIMMERFELD_RECORDING_BINARY) : Launch(GLIMMERFELD_BINARY);
  }

  // The first capture of a frame that the program presented after the
  // window looked like `reference`: the ball has moved (or come back into
  // view) since. Until then the window may still hold its stale contents or
  // a blank exposed area, which tell nothing about what the program kept.
  Image CaptureRepainted(Window w, const Image& reference) {
    const auto was = FindBall(reference, ball_, 33);
    return CaptureUntil(w, [&](const Image& img) {
      if (img.width != reference.width || img.height != reference.height) return false;
      const auto now = FindBall(img, ball_, 33);
      return now.has_value() && now != was;
    });
  }

  // Lets wall-clock time pass while the program is left as it is (hidden,
  // covered or stopped): these conditions only mean something if they last.
  void KeepFor(std::chrono::milliseconds span) {
    ASSERT_TRUE(HoldsFor([&] { return program_->Running(); }, span)) << program_->Stderr();
  }

  // Closes the recorded program's window `w` and expects the outer size its
  // handlers read last to be the client size the probe sees plus a frame of
  // `frame_width` x `frame_height` twips.
  void CloseAndExpectOuterSize(Window w, double frame_width, double frame_height) {
    const auto [width, height] = probe_->Size(w);
    CloseAndExpectCleanEnd(w);
    const auto run = Recorded();
    ASSERT_TRUE(run.has_value());
    std::printf("client %d x %d pixels, outer size read %.0f x %.0f twips\n", width, height,
                run->outer_width_twips, run->outer_height_twips);
    EXPECT_EQ(run->outer_width_twips, width * 15.0 + frame_width);
    EXPECT_EQ(run->outer_height_twips, height * 15.0 + frame_height);
  }

  const std::vector<std::pair<int, int>> ball_ = BallOffsets(33, 1);
};

TEST_F(HostileWindow, SurvivesAResizeStormLosingNoPointAndFillsAGrownWindow) {
  const Window w = Start();
  ASSERT_NE(w, 0u);
  const Image before = CaptureUntil(w, [](const Image& img) { return LitCount(img) > 50'000; });
  ASSERT_EQ(before.width, 992);
  ASSERT_GT(LitCount(before), 50'000u);

  // In quick succession, each request reaching the server before the next.
  for (auto [width, height] : std::vector<std::pair<int, int>>{
           {1, 1}, {3000, 2000}, {50, 3000}, {300, 200}, {1, 741}, {992, 1}, {992, 741}}) {
    probe_->Resize(w, width, height);
  }
  ASSERT_TRUE(program_->Running()) << program_->Stderr();
  ASSERT_EQ(probe_->Size(w), std::make_pair(992, 741));
  // Once repainted, every point seen before the storm is there again.
  const Image after = CaptureRepainted(w, probe_->Capture(w));
  ASSERT_EQ(after.width, 992);
  EXPECT_EQ(LostPoints(before, after), 0u);
  EXPECT_EQ(DimCount(after), 0u);
  EXPECT_GT(LitCount(after), LitCount(before));

  // Grown, the window fills its new area: the spray reads the new outer size.
  // Without that, points would stop at the old outer width and height (1000
  // x 768 pixels) and the area beyond would stay black.
  probe_->Resize(w, 1600, 1200);
  const auto grown_at = Clock::now();
  auto new_area = [](const Image& img) {
    return std::min(Coverage(img, 1000, 0, img.width, img.height),
                    Coverage(img, 0, 768, img.width, img.height));
  };
  const Image grown = CaptureUntil(w, [&](const Image& img) {
    return img.width == 1600 && img.height == 1200 && new_area(img) >= 0.10 && DimCount(img) == 0;
  });
  const double seconds = std::chrono::duration<double>(Clock::now() - grown_at).count();
  ASSERT_EQ(grown.width, 1600);
  // Reported, not asserted: the machine may be busy.
  std::printf("the grown area reached %.0f%% coverage %.2f s after the resize\n",
              100.0 * new_area(grown), seconds);
  RecordProperty("seconds_to_fill_grown_area", std::to_string(seconds));
  EXPECT_GE(new_area(grown), 0.10);
  EXPECT_GT(Coverage(grown, 1400, 1000, 1600, 1200), 0.05) << "the far corner stays empty";
  EXPECT_EQ(DimCount(grown), 0u);
  // Shrinking back hides the new points; none of the old ones is lost.
  probe_->Resize(w, 992, 741);
  const Image back = CaptureRepainted(w, probe_->Capture(w));
  ASSERT_EQ(back.width, 992);
  EXPECT_EQ(LostPoints(before, back), 0u);
  CloseAndExpectCleanEnd(w);
}

TEST_F(HostileWindow, KeepsRunningWhileHiddenOrCoveredAndLosesNothing) {
  const Window w = Start(/*recorded=*/true);
  ASSERT_NE(w, 0u);
  const Image first = CaptureUntil(w, [](const Image& img) { return LitCount(img) > 1000; });
  ASSERT_GT(LitCount(first), 1000u);

  // Minimised: without a window manager that is an unmap.
  probe_->Iconify(w);
  ASSERT_FALSE(probe_->Viewable(w));
  KeepFor(2s);
  probe_->MapRaised(w);
  const Image shown = CaptureRepainted(w, probe_->Capture(w));
  EXPECT_EQ(shown.width, 992) << "the size changed while hidden";
  EXPECT_GT(LitCount(shown), LitCount(first));
  EXPECT_EQ(LostPoints(first, shown), 0u);

  // Another application's window over all of it, then gone again.
  const Window cover = probe_->Cover(w);
  KeepFor(2s);
  probe_->RemoveCover(cover);
  const Image uncovered = CaptureRepainted(w, probe_->Capture(w));
  EXPECT_GT(LitCount(uncovered), LitCount(shown));
  EXPECT_EQ(LostPoints(shown, uncovered), 0u);
  EXPECT_EQ(DimCount(uncovered), 0u) << "the cover's pixels were never painted over";
  CloseAndExpectCleanEnd(w);

  // The timers ran through both: had the loop sat out either two-second
  // spell, the lag cap would have dropped some 1750 ticks of each 1 ms timer.
  const auto run = Recorded();
  ASSERT_TRUE(run.has_value());
  ASSERT_EQ(run->timers.size(), 4u);
  for (const auto& t : run->timers) {
    EXPECT_GT(t.delivered, 0u) << t.name;
    EXPECT_LT(t.dropped, 1'000'000'000 / t.interval_ns) << t.name << " dropped ticks while hidden";
  }
}

TEST_F(HostileWindow, FillsTheLargerClientAreaAtXftDpi192) {
  // Set before the program connects: Xlib reads the resources on connecting.
  // -noreset keeps them even if every client disconnects meanwhile.
  StartServer({"-noreset"});
  probe_->SetResources("Xft.dpi:\t192\n");
  const Window w = Start();
  ASSERT_NE(w, 0u);
  ASSERT_EQ(probe_->Size(w), std::make_pair(1984, 1482));
  auto filled = [](const Image& img) {
    if (img.width != 1984 || img.height != 1482) return false;
    for (int qy = 0; qy < 2; ++qy) {
      for (int qx = 0; qx < 2; ++qx) {
        if (Coverage(img, qx * 992, qy * 741, (qx + 1) * 992, (qy + 1) * 741) < 0.05) return false;
      }
    }
    // Up to the last rows and columns.
    return Coverage(img, 1920, 0, 1984, 1482) >= 0.05 && Coverage(img, 0, 1418, 1984, 1482) >= 0.05;
  };
  const Image img = CaptureUntil(w, filled);
  EXPECT_TRUE(filled(img)) << "coverage " << Coverage(img, 0, 0, img.width, img.height);
  EXPECT_EQ(DimCount(img), 0u);
  CloseAndExpectCleanEnd(w);
}

// The desktop's Xft.dpi goes from 96 to 192 while the program runs (as when
// the window moves to a HiDPI monitor): the client area keeps its size in
// twips, so it doubles in pixels, and every point already plotted becomes a
// 2x2 block in its old place.
TEST_F(HostileWindow, AScaleChangeWhileRunningKeepsEveryPointInPlaceAndSize) {
  StartServer({"-noreset"});
  const Window w = Start();
  ASSERT_NE(w, 0u);
  const Image before = CaptureUntil(w, [](const Image& img) { return LitCount(img) > 5000; });
  ASSERT_EQ(before.width, 992);
  probe_->SetResources("Xft.dpi:\t192\n");
  // The share of the old points' block pixels that still hold their colour:
  // new points, which come fast, and the ball cover some of them. Doubled
  // and kept, it starts near 1 (0.93 in our run at the first capture) and
  // falls slowly; points that stayed single pixels give at most 1/4, points
  // lost give 0.
  auto kept = [&](const Image& img) {
    if (img.width != 1984 || img.height != 1482) return 0.0;
    std::size_t points = 0, matching = 0;
    for (int y = 0; y < before.height; ++y) {
      for (int x = 0; x < before.width; ++x) {
        const std::uint32_t p = before.at(x, y);
        if (p == 0 || p == 0xffffffu) continue;
        ++points;
        for (int d = 0; d < 4; ++d)
          matching += img.at(2 * x + d % 2, 2 * y + d / 2) == p ? 1 : 0;
      }
    }
    return static_cast<double>(matching) / (4.0 * static_cast<double>(points));
  };
  const Image after = CaptureUntil(w, [&](const Image& img) { return kept(img) >= 0.6; });
  EXPECT_EQ(probe_->Size(w), std::make_pair(1984, 1482));
  std::printf("%.1f%% of the old points' 2x2 blocks hold their colour\n", 100.0 * kept(after));
  EXPECT_GE(kept(after), 0.6);
  // The ball is re-shaped for the new scale, as at a start at 192 dpi.
  const ExpectedPicture at2 = ReadConformanceTable().At(2);
  const Image with_ball =
      CaptureUntil(w, [&](const Image& img) { return FindExpectedBall(img, at2).has_value(); });
  EXPECT_TRUE(FindExpectedBall(with_ball, at2).has_value()) << "the ball keeps its 96-dpi shape";
  CloseAndExpectCleanEnd(w);
}

// At 192 dpi on a 2560 x 1600 screen the window is 1984 x 1482 and, with a
// window manager's frame, still fits: it opens wholly on the screen, not
// centred for its 96-dpi size and then grown past the edges.
TEST_F(HostileWindow, OpensWhollyOnTheScreenAtXftDpi192UnderAWindowManager) {
  ProgramUnderX::StartServer({"-br", "-noreset"}, "2560x1600x24");
  probe_->SetResources("Xft.dpi:\t192\n");
  ASSERT_NO_FATAL_FAILURE(StartWindowManager());
  const Window w = Start();
  ASSERT_NE(w, 0u);
  ASSERT_EQ(probe_->Size(w), std::make_pair(1984, 1482));
  // Framed and placed: the frame is larger than the client area.
  std::array<int, 4> frame{};
  Eventually(
      [&] {
        frame = probe_->FrameRect(w);
        return frame[2] > 1984 && frame[3] > 1482;
      },
      20s);
  std::printf("frame at %d,%d, %d x %d\n", frame[0], frame[1], frame[2], frame[3]);
  EXPECT_GT(frame[3], 1482) << "never framed";
  EXPECT_GE(frame[0], 0);
  EXPECT_GE(frame[1], 0);
  EXPECT_LE(frame[0] + frame[2], 2560);
  EXPECT_LE(frame[1] + frame[3], 1600);
  CloseAndExpectCleanEnd(w);
}

// The outer size the spray and the edge wrap read is the client area and the
// frame around it: the one the window manager names in _NET_FRAME_EXTENTS,
// zeros included (borderless, tiling), and the frame assumed at start (120 x
// 405 twips) only where nothing names one.
TEST_F(HostileWindow, TheOuterSizeTakesTheFrameTheWindowManagerNames) {
  ASSERT_NO_FATAL_FAILURE(StartWindowManager());
  const Window w = Start(/*recorded=*/true);
  ASSERT_NE(w, 0u);
  ASSERT_TRUE(Eventually([&] { return probe_->FrameExtents(w).has_value(); }, 20s))
      << "openbox named no frame";
  const auto [left, right, top, bottom] = *probe_->FrameExtents(w);
  std::printf("openbox's frame: left %ld, right %ld, top %ld, bottom %ld pixels\n", left, right,
              top, bottom);
  // Not the frame assumed without one, or this would tell nothing apart.
  ASSERT_NE((left + right) * 15, 120);
  CloseAndExpectOuterSize(w, (left + right) * 15.0, (top + bottom) * 15.0);
}

TEST_F(HostileWindow, AFrameNamedAsZeroAddsNothingToTheOuterSize) {
  WithholdingWindowManager wm(server_->display());
  StartRecorded(GLIMMERFELD_RECORDING_BINARY);
  const auto w = wm.WaitForMapRequest(20s);
  ASSERT_TRUE(w.has_value()) << "never asked to be mapped; stderr: " << program_->Stderr();
  wm.SetFrameExtents(*w, {0, 0, 0, 0});
  wm.Map(*w);
  ASSERT_TRUE(Eventually([&] { return probe_->Viewable(*w); }, 20s));
  CloseAndExpectOuterSize(*w, 0.0, 0.0);
}

TEST_F(HostileWindow, WithNothingNamingAFrameTheOuterSizeTakesTheAssumedOne) {
  const Window w = Start(/*recorded=*/true);
  ASSERT_NE(w, 0u);
  ASSERT_FALSE(probe_->FrameExtents(w).has_value());
  CloseAndExpectOuterSize(w, 120.0, 405.0);
}

TEST_F(HostileWindow, ResumesAfterSigstopAndSigcontWithoutABurstBeyondTheLagCap) {
  const Window w = Start(/*recorded=*/true);
  ASSERT_NE(w, 0u);
  CaptureUntil(w, [](const Image& img) { return LitCount(img) > 1000; });
  program_->Signal(SIGSTOP);
  ASSERT_TRUE(Eventually([&] { return program_->Stopped(); }, 20s, 2ms));
  const auto stopped_at = Clock::now();
  const Image at_stop = probe_->Capture(w);
  // The stall must last for its effect to show.
  ASSERT_TRUE(HoldsFor([&] { return program_->Stopped(); }, 3s));
  const double stalled_ms =
      std::chrono::duration<double, std::milli>(Clock::now() - stopped_at).count();
  program_->Signal(SIGCONT);
  // Running again: the field grows.
  const Image resumed =
      CaptureUntil(w, [&](const Image& img) { return LitCount(img) > LitCount(at_stop) + 1000; });
  EXPECT_GT(LitCount(resumed), LitCount(at_stop) + 1000);
  program_->Signal(SIGTERM);
  EXPECT_EQ(program_->Wait(30s), std::optional<int>(0));
  EXPECT_EQ(program_->Stderr(), "");

  // Outside the stall each timer delivers at most its rate; over the stall,
  // at most the lag cap's worth: three frames, 50 ms at Xvfb's 60 Hz, taken
  // here as 100 ms for the slack between the test's clock and the program's.
  // Anything more is a burst making up the stall.
  constexpr double kMakeUpMs = 100.0;
  const auto run = Recorded();
  ASSERT_TRUE(run.has_value());
  ASSERT_EQ(run->timers.size(), 4u);
  std::printf("stalled %.0f ms of a %.0f ms run\n", stalled_ms, run->elapsed_ms());
  for (const auto& t : run->timers) {
    const double interval = static_cast<double>(t.interval_ns) / 1e6;
    const double allowed = (run->elapsed_ms() - stalled_ms + kMakeUpMs) / interval + 2.0;
    std::printf("%s: %llu delivered, %llu dropped; at most %.0f allowed\n", t.name.c_str(),
                static_cast<unsigned long long>(t.delivered),
                static_cast<unsigned long long>(t.dropped), allowed);
    EXPECT_LE(static_cast<double>(t.delivered), allowed) << t.name;
    EXPECT_GE(static_cast<double>(t.dropped), (stalled_ms - kMakeUpMs - 20.0) / interval) << t.name;
  }
}

// Closing while window events are still being handled (here a resize just
// before the close) races SDL's wake-up message to the window against the
// window's destruction; the refused message must not turn a clean close
// into an X error report and status 1. The race is lost about once in four
// closes without the guard, so 24 rounds miss it about once in a thousand
// runs.
TEST_F(HostileWindow, ClosesCleanlyEvenRightAfterAResize) {
  for (int round = 0; round < 24; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const Window w = Start();
    ASSERT_NE(w, 0u);
    probe_->Resize(w, 500, 500);
    // Repainted at the new size: the close then arrives while the program
    // waits for its next frame, which is when SDL sends the wake-up.
    CaptureUntil(w, [](const Image& img) { return img.width == 500 && LitCount(img) > 100; });
    CloseAndExpectCleanEnd(w);
    if (HasFailure()) break;
  }
}

// A window manager that has taken over mapping withholds the map for three
// seconds, as one still starting up may. The first sight once it is mapped
// is still the ball on black; the three seconds' ticks are made up in the
// frames right after it, so the field is soon as full as they make it. While
// the map is withheld, a close or SIGTERM still ends the program at once
// with status 0.
TEST_F(HostileWindow, AWithheldMapHoldsUpNeitherTheTicksNorTheEnd) {
  WithholdingWindowManager wm(server_->display());
  StartRecorded(GLIMMERFELD_RECORDING_BINARY);
  const auto w = wm.WaitForMapRequest(20s);
  ASSERT_TRUE(w.has_value()) << "never asked to be mapped; stderr: " << program_->Stderr();
  wm.Serve(3s);
  ASSERT_TRUE(program_->Running()) << program_->Stderr();
  ASSERT_FALSE(probe_->Viewable(*w));
  wm.Map(*w);
  EXPECT_EQ(LitAtFirstSight(*w), 0u) << "the first sight is not the ball on black";
  // Three seconds of spraying light about 79% of the pixels.
  const Image filled = CaptureUntil(*w, [&](const Image& img) {
    return static_cast<double>(LitCount(img)) / (992.0 * 741.0) > 0.3;
  });
  const double coverage = static_cast<double>(LitCount(filled)) / (992.0 * 741.0);
  std::printf("soon after the map: %.0f%% of the pixels lit\n", 100.0 * coverage);
  EXPECT_GT(coverage, 0.3) << "the ticks waited for the map";
  CloseAndExpectCleanEnd(*w);
  const auto run = Recorded();
  ASSERT_TRUE(run.has_value());
  for (const auto& t : run->timers) {
    EXPECT_LT(t.dropped, 500'000'000u / t.interval_ns) << t.name << " dropped ticks while unmapped";
  }

  for (const bool by_signal : {false, true}) {
    SCOPED_TRACE(by_signal ? "SIGTERM" : "a close");
    StartProgram(GLIMMERFELD_BINARY);
    const auto waiting = wm.WaitForMapRequest(20s);
    ASSERT_TRUE(waiting.has_value()) << program_->Stderr();
    wm.Serve(500ms);
    if (by_signal) {
      program_->Signal(SIGTERM);
    } else {
      probe_->RequestClose(*waiting);
    }
    EXPECT_EQ(program_->Wait(30s), std::optional<int>(0));
    EXPECT_EQ(program_->Stderr(), "");
  }
}

// Under a window manager, which maps the window tens of milliseconds after
// the show, the first sight of it is still the ball on black: the ticks due
// meanwhile show only in the frames after it. Three starts, since the map's
// timing varies.
TEST_F(HostileWindow, UnderAWindowManagerTheFirstSightIsTheBallOnBlack) {
  StartWindowManager();
  // The ball alone stays up for one frame: a probe held up longer than that
  // on a busy machine sees the next one, so two starts in three must do.
  int clean = 0;
  for (int run = 1; run <= 3; ++run) {
    const Window w = Start();
    ASSERT_NE(w, 0u);
    const std::size_t lit = LitAtFirstSight(w);
    std::printf("start %d: %zu pixels lit beside the ball at first sight\n", run, lit);
    clean += lit == 0 ? 1 : 0;
    const Image later = CaptureUntil(w, [](const Image& img) { return LitCount(img) > 10'000; });
    EXPECT_GT(LitCount(later), 10'000u) << "the ticks never started";
    CloseAndExpectCleanEnd(w);
  }
  EXPECT_GE(clean, 2) << "the first sight showed points";
}

// A run-time error's box is up (SDL's own, on X11): SIGINT or SIGTERM ends
// the program with the error's status, 1, and takes the box with it.
TEST_F(HostileWindow, SigintOrSigtermWhileTheErrorBoxIsUpEndsWithStatusOne) {
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE("signal " + std::to_string(sig));
    const Window w = Launch(GLIMMERFELD_FAULT_BINARY);
    ASSERT_NE(w, 0u);
    // The box carries the window's title too, and comes after the line.
    Eventually(
        [&] {
          return !program_->Stderr().empty() && probe_->WindowsTitled(kWindowTitle).size() >= 2;
        },
        30s);
    ASSERT_EQ(probe_->WindowsTitled(kWindowTitle).size(), 2u)
        << "no box; stderr: " << program_->Stderr();
    EXPECT_EQ(program_->Stderr(),
              "glimmerfeld: Run-time error: floating-point fault in the ball's step\n");
    program_->Signal(sig);
    EXPECT_EQ(program_->Wait(30s), std::optional<int>(1));
    // The server destroys a client's windows once it has seen it go.
    EXPECT_TRUE(Eventually([&] { return probe_->WindowsTitled(kWindowTitle).empty(); }, 30s))
        << "the box outlived the program";
  }
}

// Killed at three moments: as the window appears, while points pour in, and
// while the window is unmapped and only the timers run.
TEST_F(HostileWindow, EndsWithOneLineAndStatusOneWhenTheXServerDies) {
  for (int moment = 0; moment < 3; ++moment) {
    SCOPED_TRACE("moment " + std::to_string(moment));
    if (moment > 0) StartServer({});
    const std::string display = server_->display();
    const Window w = Start();
    ASSERT_NE(w, 0u);
    if (moment == 1) CaptureUntil(w, [](const Image& img) { return LitCount(img) > 100'000; });
    if (moment == 2) probe_->Iconify(w);
    probe_.reset();
    server_->Kill();
    const auto status = program_->Wait(30s);
    ASSERT_TRUE(status.has_value()) << "still running with its display gone";
    // An exit status, not a signal: no crash, no SIGPIPE, no core.
    EXPECT_EQ(*status, 1);
    EXPECT_FALSE(program_->dumped_core());
    EXPECT_EQ(program_->Stderr(),
              "glimmerfeld: lost the connection to the display (DISPLAY=" + display + ")\n");
  }
}

}  // namespace
}  // namespace glimmer::testing
