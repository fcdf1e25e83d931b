// The program against real Wayland compositors. Weston's headless backend
// offers no input seat, on which SDL 2.26 crashes inside SDL_Init: the
// program must never crash at start, whatever the drivers. Weston nested in a
// private Xvfb has a seat and shows its output as an X window, whose pixels
// the probe reads. Mutter (GNOME) runs headless, its pixels out of reach.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/canvas.h"
#include "tests/support/process.h"
#include "tests/support/recorded_run.h"
#include "tests/support/ring_finder.h"
#include "tests/support/x11_probe.h"

namespace glimmer::testing {
namespace {

using namespace std::chrono_literals;

std::size_t Lines(const std::string& s) {
  return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n'));
}

class HeadlessWeston : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Weston::Available()) GTEST_SKIP() << "weston with its headless backend is not installed";
    weston_ = std::make_unique<Weston>();
  }

  // Runs the program with the compositor's socket and `env` on top, and
  // returns its exit status once it has ended.
  std::optional<int> RunToEnd(Child::EnvChanges env) {
    env.emplace("XDG_RUNTIME_DIR", weston_->runtime_dir());
    env.emplace("WAYLAND_DISPLAY", weston_->socket());
    program_ = std::make_unique<Child>(GLIMMERFELD_BINARY, std::vector<std::string>{}, env);
    return program_->Wait(30s);
  }

  std::unique_ptr<Weston> weston_;
  std::unique_ptr<Child> program_;
};

TEST_F(HeadlessWeston, AloneItIsRefusedWithOneLineInsteadOfACrash) {
  const auto status = RunToEnd({{"DISPLAY", std::nullopt}, {"SDL_VIDEODRIVER", std::nullopt}});
  ASSERT_TRUE(status.has_value()) << "hangs";
  EXPECT_EQ(*status, 1) << "ended by signal " << *status - 128;
  const std::string err = program_->Stderr();
  EXPECT_EQ(Lines(err), 1u) << err;
  EXPECT_NE(err.find("no input seat"), std::string::npos) << err;
  EXPECT_NE(err.find("WAYLAND_DISPLAY=" + weston_->socket()), std::string::npos) << err;
  EXPECT_TRUE(weston_->Running()) << "the compositor went down with the program";
}

TEST_F(HeadlessWeston, ForcingTheWaylandDriverIsRefusedWithOneLine) {
  Xvfb server;
  const auto status =
      RunToEnd({{"DISPLAY", server.display()}, {"SDL_VIDEODRIVER", std::string("wayland")}});
  ASSERT_TRUE(status.has_value()) << "hangs";
  EXPECT_EQ(*status, 1) << "ended by signal " << *status - 128;
  const std::string err = program_->Stderr();
  EXPECT_EQ(Lines(err), 1u) << err;
  EXPECT_NE(err.find("SDL_VIDEODRIVER"), std::string::npos) << err;
}

// SDL tries the next driver when X11 fails; it must not fall into Wayland.
TEST_F(HeadlessWeston, AnUnreachableX11DisplayDoesNotFallBackIntoACrash) {
  const auto status =
      RunToEnd({{"DISPLAY", std::string(":777")}, {"SDL_VIDEODRIVER", std::nullopt}});
  ASSERT_TRUE(status.has_value()) << "hangs";
  EXPECT_EQ(*status, 1) << "ended by signal " << *status - 128;
  const std::string err = program_->Stderr();
  EXPECT_EQ(Lines(err), 1u) << err;
  EXPECT_NE(err.find("DISPLAY=:777"), std::string::npos) << err;
}

TEST_F(HeadlessWeston, WithAnX11DisplayAsWellItRunsThereAndEndsCleanly) {
  Xvfb server;
  XProbe probe(server.display());
  program_ = std::make_unique<Child>(GLIMMERFELD_BINARY, std::vector<std::string>{},
                                     Child::EnvChanges{{"DISPLAY", server.display()},
                                                       {"WAYLAND_DISPLAY", weston_->socket()},
                                                       {"XDG_RUNTIME_DIR", weston_->runtime_dir()},
                                                       {"SDL_VIDEODRIVER", std::nullopt}});
  const auto w = probe.WaitForWindow("Glimmerfeld!", 20s);
  ASSERT_TRUE(w.has_value()) << program_->Stderr();
  // Points arrive on the X11 window.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::size_t lit = 0;
  while (lit < 1000 && std::chrono::steady_clock::now() < deadline) {
    const Image img = probe.Capture(*w);
    lit = static_cast<std::size_t>(std::count_if(img.pixels.begin(), img.pixels.end(),
                                                 [](std::uint32_t p) { return p != 0; }));
  }
  EXPECT_GE(lit, 1000u);
  program_->Signal(SIGTERM);
  EXPECT_EQ(program_->Wait(30s), std::optional<int>(0));
  EXPECT_EQ(program_->Stderr(), "");
}

// Points have every channel at 30 or more; the ring is white.
bool IsPointOrRing(std::uint32_t p) {
  return Image::Red(p) >= 30 && Image::Green(p) >= 30 && Image::Blue(p) >= 30;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string s;
  for (const auto& n : names)
    s += (s.empty() ? "" : ", ") + n;
  return s;
}

// Weston shown as a window of a private Xvfb. Its kiosk shell gives the
// program's window the whole output, undecorated, so the output's pixels
// are the client area's.
class NestedWeston : public ::testing::Test {
 protected:
  void StartCompositor(int scale) {
    if (!Weston::Available()) GTEST_SKIP() << "weston is not installed";
    server_ = std::make_unique<Xvfb>(std::vector<std::string>{"-br"}, "3200x2400x24");
    probe_ = std::make_unique<XProbe>(server_->display());
    Weston::Nested nested;
    nested.x_display = server_->display();
    nested.scale = scale;
    weston_ = std::make_unique<Weston>(nested);
    const auto output = probe_->WaitForWindow("Weston Compositor - screen0", 20s);
    ASSERT_TRUE(output.has_value()) << "weston's output window never showed";
    output_ = *output;
  }

  void Launch(Child::EnvChanges env, const std::string& binary = GLIMMERFELD_BINARY,
              const std::vector<std::string>& args = {}) {
    env.emplace("XDG_RUNTIME_DIR", weston_->runtime_dir());
    env.emplace("WAYLAND_DISPLAY", weston_->socket());
    env.emplace("SDL_VIDEODRIVER", std::nullopt);
    program_ = std::make_unique<Child>(binary, args, env);
  }

  Image CaptureUntil(const std::function<bool(const Image&)>& pred) {
    return probe_->CaptureUntil(output_, pred, 30s);
  }

  void TerminateAndExpectCleanEnd() {
    program_->Signal(SIGTERM);
    EXPECT_EQ(program_->Wait(30s), std::optional<int>(0));
    EXPECT_EQ(program_->Stderr(), "");
  }

  std::unique_ptr<Xvfb> server_;
  std::unique_ptr<XProbe> probe_;
  std::unique_ptr<Weston> weston_;
  std::unique_ptr<Child> program_;
  Window output_ = 0;
};

TEST_F(NestedWeston, RunsNativelyWithoutOpenGlShowingOnlyBrightPointsAndEndsCleanly) {
  StartCompositor(1);
  Launch({{"DISPLAY", std::nullopt}});
  const Image img = CaptureUntil([](const Image& i) { return LitCount(i) > 20'000; });
  ASSERT_GT(LitCount(img), 20'000u) << program_->Stderr();
  EXPECT_EQ(img.width, 992);
  // The pointer starts at (100, 100) of the output and is drawn there, grey
  // and smoothed: not the program's.
  std::size_t dim = 0;
  for (int y = 0; y < img.height; ++y) {
    for (int x = 0; x < img.width; ++x) {
      const bool pointer = x >= 96 && x < 160 && y >= 96 && y < 160;
      if (!pointer && img.at(x, y) != 0 && !IsPointOrRing(img.at(x, y))) ++dim;
    }
  }
  if (dim != 0) WritePng(img, "/tmp/glimmer-wayland-dim.png");
  EXPECT_EQ(dim, 0u) << "lit pixels with a channel below 30 (see /tmp/glimmer-wayland-dim.png)";
  EXPECT_EQ(Joined(GlLibrariesMapped(program_->pid())), "");
  TerminateAndExpectCleanEnd();
}

// With both displays set, native Wayland is chosen: nothing of the program
// appears on the X server as a window of its own.
TEST_F(NestedWeston, WithAnX11DisplayAsWellItPrefersWayland) {
  StartCompositor(1);
  Launch({{"DISPLAY", server_->display()}});
  const Image img = CaptureUntil([](const Image& i) { return LitCount(i) > 5000; });
  EXPECT_GT(LitCount(img), 5000u) << program_->Stderr();
  EXPECT_FALSE(probe_->WaitForWindow("Glimmerfeld!", 1s).has_value());
  TerminateAndExpectCleanEnd();
}

// At output scale 2 the buffer is in device pixels: a point is one of them,
// not a 2x2 block of the compositor's doubling, and the ring is 2 px thick.
TEST_F(NestedWeston, AtScaleTwoPointsAreSingleDevicePixelsAndTheRingIsTwoThick) {
  StartCompositor(2);
  Launch({{"DISPLAY", std::nullopt}});
  BallOverlay ring;
  ring.SetShape(66, 2);  // 495 twips at 192 dpi
  const Image img = CaptureUntil([&](const Image& i) {
    return LitCount(i) > 20'000 && FindRing(i, ring.offsets(), 66).has_value();
  });
  ASSERT_EQ(img.width, 1984);
  ASSERT_EQ(img.height, 1482);
  ASSERT_GT(LitCount(img), 20'000u) << program_->Stderr();
  EXPECT_TRUE(FindRing(img, ring.offsets(), 66).has_value()) << "no ring 66 px across, 2 px thick";
  // Doubled, every point would be the top-left of a 2x2 block of one colour.
  std::size_t points = 0, blocks = 0;
  for (int y = 0; y + 1 < img.height; ++y) {
    for (int x = 0; x + 1 < img.width; ++x) {
      const std::uint32_t p = img.at(x, y);
      if (p == 0 || p == 0xffffffu) continue;
      ++points;
      if (img.at(x + 1, y) == p && img.at(x, y + 1) == p && img.at(x + 1, y + 1) == p) ++blocks;
    }
  }
  std::printf("%zu of %zu points are 2x2 blocks\n", blocks, points);
  EXPECT_LT(blocks * 20, points) << "points are pixel-doubled";
  TerminateAndExpectCleanEnd();
}

// While the compositor asks for no frames (here: stopped), the ticks go on at
// their rates and the canvas fills; the first frame afterwards shows it all.
TEST_F(NestedWeston, KeepsTickingWhileNoFramesAreAskedForAndLosesNothing) {
  StartCompositor(1);
  char tmpl[] = "/tmp/glimmer-run-XXXXXX";
  const int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string record = tmpl;
  Launch({{"DISPLAY", std::nullopt}}, GLIMMERFELD_RECORDING_BINARY, {"--out=" + record});
  const Image first = CaptureUntil([](const Image& i) { return LitCount(i) > 1000; });
  ASSERT_GT(LitCount(first), 1000u) << program_->Stderr();
  weston_->Signal(SIGSTOP);
  const auto until = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < until) {
    ASSERT_TRUE(program_->Running()) << program_->Stderr();
    std::this_thread::sleep_for(20ms);
  }
  weston_->Signal(SIGCONT);
  // Compared once, on the first frame that shows the field grown: points
  // plotted later would only hide a loss.
  const Image shown =
      CaptureUntil([&](const Image& i) { return LitCount(i) > LitCount(first) + 2000; });
  EXPECT_GT(LitCount(shown), LitCount(first) + 2000);
  EXPECT_EQ(LostPoints(first, shown), 0u);
  TerminateAndExpectCleanEnd();
  // Had the loop sat out the two seconds, the 1 ms timers would have
  // dropped some 1750 ticks each.
  const auto run = ReadRecordedRun(record);
  std::remove(record.c_str());
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->timers.size(), 4u);
  for (const auto& t : run->timers) {
    EXPECT_GT(t.delivered, 0u) << t.name;
    EXPECT_LT(t.dropped, 100u) << t.name << " dropped ticks while no frames were asked for";
  }
}

// GNOME's compositor: the program starts natively there, maps no OpenGL and
// ends with status 0 on SIGTERM.
TEST(HeadlessMutter, RunsNativelyWithoutOpenGlAndEndsCleanly) {
  if (!Mutter::Available()) GTEST_SKIP() << "mutter is not installed";
  Mutter mutter;
  Child program(GLIMMERFELD_BINARY, {},
                {{"DISPLAY", std::nullopt},
                 {"SDL_VIDEODRIVER", std::nullopt},
                 {"XDG_RUNTIME_DIR", mutter.runtime_dir()},
                 {"WAYLAND_DISPLAY", mutter.socket()}});
  // Running natively, the window's buffers are in the process as shared
  // memory of ours; waited for, since mutter maps the window when it likes.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  bool drawing = false;
  while (!drawing && program.Running() && std::chrono::steady_clock::now() < deadline) {
    std::ifstream maps("/proc/" + std::to_string(program.pid()) + "/maps");
    drawing = std::string(std::istreambuf_iterator<char>(maps), {}).find("memfd:glimmerfeld") !=
              std::string::npos;
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(drawing) << program.Stderr();
  EXPECT_EQ(Joined(GlLibrariesMapped(program.pid())), "");
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(30s), std::optional<int>(0));
  EXPECT_EQ(program.Stderr(), "");
}

}  // namespace
}  // namespace glimmer::testing
