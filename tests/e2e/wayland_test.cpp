// The program against real Wayland compositors. Weston's headless backend
// offers no input seat, which the program needs no more than SDL does, and
// the refusals of drivers and displays that cannot work are tried there.
// Weston nested in a private Xvfb shows its output as an X window, whose
// pixels the probe reads. Mutter (GNOME) runs headless, its pixels out of reach.
// Headless sway brings virtual keyboards and the session's idle timer.
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
#include <utility>
#include <vector>

#include "tests/support/compositors.h"
#include "tests/support/conformance.h"
#include "tests/support/process.h"
#include "tests/support/recorded_run.h"
#include "tests/support/x11_probe.h"

namespace glimmer::testing {
namespace {

using namespace std::chrono_literals;

class HeadlessWeston : public ::testing::Test {
 protected:
  void SetUp() override { weston_ = std::make_unique<Weston>(); }

  // Runs the program with `args` on the compositor with `env` on top, and
  // expects it to refuse in one line that says `says`.
  void ExpectRefused(Child::EnvChanges env, const std::string& says,
                     const std::vector<std::string>& args = {}) {
    program_ = weston_->Launch(GLIMMERFELD_BINARY, args, std::move(env));
    ExpectRefusedInOneLine(*program_, says);
  }

  std::unique_ptr<Weston> weston_;
  std::unique_ptr<Child> program_;
};

// Without an input seat the window still comes up natively and is drawn; an
// X display that cannot be reached, tried only after Wayland, is no matter.
TEST_F(HeadlessWeston, WithoutAnInputSeatItRunsAndEndsCleanly) {
  const std::string record = TempFile("run");
  program_ = weston_->Launch(GLIMMERFELD_RECORDING_BINARY, {"--out=" + record},
                             {{"DISPLAY", std::string(":777")}});
  EXPECT_TRUE(HoldsFor([&] { return program_->Running(); }, 2s)) << program_->Stderr();
  ExpectCleanEndOnSigterm(*program_);
  const auto run = ReadRecordedRun(record);
  std::remove(record.c_str());
  ASSERT_TRUE(run.has_value());
  EXPECT_GT(run->frames, 10u) << "frames presented in two seconds";
  EXPECT_TRUE(weston_->Running()) << "the compositor went down with the program";
}

// Weston has no layer shell to put a background on.
TEST_F(HeadlessWeston, TheBackgroundIsRefusedWithOneLine) {
  ExpectRefused({{"DISPLAY", std::nullopt}}, "has no layer shell", {"--background"});
}

// The user's choice of driver holds, for a compositor that cannot be reached
// too, and SDL falls back on no other.
TEST_F(HeadlessWeston, ForcingTheWaylandDriverOnAnUnreachableCompositorIsRefusedWithOneLine) {
  Xvfb server;
  ExpectRefused({{"DISPLAY", server.display()},
                 {"WAYLAND_DISPLAY", std::string("wayland-nobody-here")},
                 {"SDL_VIDEODRIVER", std::string("wayland")}},
                "SDL_VIDEODRIVER");
}

TEST_F(HeadlessWeston, ForcingX11ItRunsThereAndEndsCleanly) {
  Xvfb server;
  XProbe probe(server.display());
  program_ =
      weston_->Launch(GLIMMERFELD_BINARY, {},
                      {{"DISPLAY", server.display()}, {"SDL_VIDEO_DRIVER", std::string("x11")}});
  const auto w = probe.WaitForWindow("Glimmerfeld!", 20s);
  ASSERT_TRUE(w.has_value()) << program_->Stderr();
  // Points arrive on the X11 window.
  const auto lit = [](const Image& img) { return LitCount(img) >= 1000; };
  EXPECT_TRUE(lit(probe.CaptureUntil(*w, lit)));
  ExpectCleanEndOnSigterm(*program_);
}

// Weston shown as a window of a private Xvfb. Its kiosk shell gives the
// program's window the whole output, undecorated, so the output's pixels
// are the client area's.
class NestedWeston : public ::testing::Test {
 protected:
  void StartCompositor(int scale) {
    server_ = std::make_unique<Xvfb>(std::vector<std::string>{"-br"}, "3200x2400x24");
    probe_ = std::make_unique<XProbe>(server_->display());
    weston_ = std::make_unique<Weston>(server_->display(), scale);
    const auto output = probe_->WaitForWindow("Weston Compositor - screen0", 20s);
    ASSERT_TRUE(output.has_value()) << "weston's output window never showed";
    output_ = *output;
    // The compositor draws the pointer over the program's pixels (SDL's
    // arrow, grey and smoothed): put it in the top-left corner, where
    // WithoutPointer() blanks it out.
    XWarpPointer(probe_->display(), None, output_, 0, 0, 0, 0, 2, 2);
    XSync(probe_->display(), False);
  }

  // The output's pixels with the pointer's corner black.
  static Image WithoutPointer(Image image) {
    constexpr int kCorner = 128;  // the arrow at scale 2, with room to spare
    for (int y = 0; y < std::min(kCorner, image.height); ++y)
      for (int x = 0; x < std::min(kCorner, image.width); ++x)
        image.pixels[static_cast<std::size_t>(y * image.width + x)] = 0;
    return image;
  }

  void Launch(Child::EnvChanges env,
              const std::string& binary = ProgramUnderTest(GLIMMERFELD_BINARY),
              const std::vector<std::string>& args = {}) {
    program_ = weston_->Launch(binary, args, std::move(env));
  }

  Image CaptureUntil(const std::function<bool(const Image&)>& pred) {
    return probe_->CaptureUntil(output_, pred);
  }

  // Stops the compositor for `span`, the program running on all along.
  void StopCompositorFor(std::chrono::milliseconds span) {
    weston_->Signal(SIGSTOP);
    const bool ran = HoldsFor([&] { return program_->Running(); }, span);
    weston_->Signal(SIGCONT);
    ASSERT_TRUE(ran) << program_->Stderr();
  }

  std::unique_ptr<Xvfb> server_;
  std::unique_ptr<XProbe> probe_;
  std::unique_ptr<Weston> weston_;
  std::unique_ptr<Child> program_;
  Window output_ = 0;
};

// Its colours and shape: WestonConformance below.
TEST_F(NestedWeston, RunsNativelyWithoutOpenGlAndEndsCleanly) {
  StartCompositor(1);
  Launch({{"DISPLAY", std::nullopt}});
  const Image img = CaptureUntil([](const Image& i) { return LitCount(i) > 20'000; });
  ASSERT_GT(LitCount(img), 20'000u) << program_->Stderr();
  EXPECT_EQ(img.width, 992);
  EXPECT_EQ(GlLibrariesMapped(program_->pid()), std::vector<std::string>{});
  ExpectCleanEndOnSigterm(*program_);
}

// The compositor dies under the running program: one line of the program's
// own and status 1, as for a lost X server, not a quiet end as if closed.
TEST_F(NestedWeston, ALostCompositorEndsItWithOneLineAndStatusOne) {
  StartCompositor(1);
  Launch({{"DISPLAY", std::nullopt}});
  const Image img = CaptureUntil([](const Image& i) { return LitCount(i) > 5000; });
  ASSERT_GT(LitCount(img), 5000u) << program_->Stderr();
  weston_->Signal(SIGKILL);
  EXPECT_EQ(program_->Wait(30s), std::optional<int>(1));
  EXPECT_EQ(program_->Stderr(),
            "glimmerfeld: lost the connection to the display "
            "(WAYLAND_DISPLAY=" +
                weston_->socket() + ")\n");
}

// With both displays set, native Wayland is chosen: nothing of the program
// appears on the X server as a window of its own.
TEST_F(NestedWeston, WithAnX11DisplayAsWellItPrefersWayland) {
  StartCompositor(1);
  Launch({{"DISPLAY", server_->display()}});
  const Image img = CaptureUntil([](const Image& i) { return LitCount(i) > 5000; });
  EXPECT_GT(LitCount(img), 5000u) << program_->Stderr();
  EXPECT_FALSE(probe_->WaitForWindow("Glimmerfeld!", 1s).has_value());
  ExpectCleanEndOnSigterm(*program_);
}

// The shared conformance checks at the output's scale: at 2 the buffer is in
// device pixels, so a point is one of them, not a 2x2 block of the
// compositor's doubling, and the ball is 2 px thick. While the compositor
// asks for no frames (stopped: the Wayland way of a window fully covered),
// nothing lit is lost.
class WestonConformance : public NestedWeston, public ::testing::WithParamInterface<int> {};

TEST_P(WestonConformance, ShowsTheExpectedPictureAndKeepsItWhenShownAgain) {
  const int scale = GetParam();
  const ConformanceTable table = ReadConformanceTable();
  const ExpectedPicture expected = table.At(scale);
  StartCompositor(scale);
  Launch({{"DISPLAY", std::nullopt}});
  const Image shown = WithoutPointer(CaptureUntil(
      [&](const Image& i) { return ShowsBallAndField(WithoutPointer(i), expected, 20'000); }));
  ExpectConformingPicture(shown, expected, table.min_channel,
                          "weston-scale" + std::to_string(scale));

  const Image before = WithoutPointer(probe_->Capture(output_));
  ASSERT_NO_FATAL_FAILURE(StopCompositorFor(1s));
  const Image after = WithoutPointer(CaptureUntil([&](const Image& i) {
    return LitCount(i) > LitCount(before) && LostPoints(before, i) == 0;
  }));
  EXPECT_EQ(LostPoints(before, after), 0u);
  ExpectCleanEndOnSigterm(*program_);
}

INSTANTIATE_TEST_SUITE_P(Cells, WestonConformance, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& cell) {
                           return "scale" + std::to_string(cell.param);
                         });

// While the compositor asks for no frames (here: stopped), the ticks go on at
// their rates and the canvas fills; the first frame afterwards shows it all.
TEST_F(NestedWeston, KeepsTickingWhileNoFramesAreAskedForAndLosesNothing) {
  StartCompositor(1);
  const std::string record = TempFile("run");
  Launch({{"DISPLAY", std::nullopt}}, GLIMMERFELD_RECORDING_BINARY, {"--out=" + record});
  const Image first =
      WithoutPointer(CaptureUntil([](const Image& i) { return LitCount(i) > 1000; }));
  ASSERT_GT(LitCount(first), 1000u) << program_->Stderr();
  ASSERT_NO_FATAL_FAILURE(StopCompositorFor(2s));
  // Compared once, on the first frame that shows the field grown: points
  // plotted later would only hide a loss.
  const Image shown = WithoutPointer(
      CaptureUntil([&](const Image& i) { return LitCount(i) > LitCount(first) + 2000; }));
  EXPECT_GT(LitCount(shown), LitCount(first) + 2000);
  EXPECT_EQ(LostPoints(first, shown), 0u);
  ExpectCleanEndOnSigterm(*program_);
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
  Mutter mutter;
  Child program(GLIMMERFELD_BINARY, {}, mutter.Environment());
  // Running natively, the window's buffers are in the process as shared
  // memory of ours; waited for, since mutter maps the window when it likes.
  const bool drawing = Eventually(
      [&] {
        std::ifstream maps("/proc/" + std::to_string(program.pid()) + "/maps");
        return std::string(std::istreambuf_iterator<char>(maps), {}).find("memfd:glimmerfeld") !=
               std::string::npos;
      },
      30s);
  ASSERT_TRUE(drawing) << program.Stderr();
  EXPECT_EQ(GlLibrariesMapped(program.pid()), std::vector<std::string>{});
  ExpectCleanEndOnSigterm(program);
  // Nor has it a layer shell for a background.
  Child background(GLIMMERFELD_BINARY, {"--background"}, mutter.Environment());
  ExpectRefusedInOneLine(background, "has no layer shell");
}

// The program's window on headless sway, as a wlroots desktop has it: keys
// from virtual keyboards (on-screen keyboards, remote desktops, input tools)
// and the session's idle timer.
class UnderSway : public ::testing::Test {
 protected:
  void SetUp() override { sway_ = std::make_unique<Sway>(); }

  // Starts `binary` with `args` and waits until sway shows its window.
  void Start(const std::string& binary, const std::vector<std::string>& args = {}) {
    program_ = sway_->Launch(binary, args);
    const bool shown =
        Eventually([&] { return !program_->Running() || sway_->HasWindow("Glimmerfeld!"); }, 30s);
    ASSERT_TRUE(shown && program_->Running())
        << "no window; status " << program_->Wait(0ms).value_or(-1) << ": " << program_->Stderr()
        << sway_->Log();
  }

  std::unique_ptr<Sway> sway_;
  std::unique_ptr<Child> program_;
};

// Each wtype is a new virtual keyboard whose keymap names no layout. The
// window enters the keyboard with the keys held down: first with one held
// since before it appeared (SDL 3.2 crashed on that every time), then with
// 20 keys in a row.
TEST_F(UnderSway, KeysFromVirtualKeyboardsLeaveItRunning) {
  const std::string wtype = FindOnPath("wtype");
  ASSERT_FALSE(wtype.empty()) << "wtype is not installed (scripts/install-deps test)";
  const auto held = sway_->Launch(wtype, {"-P", "Escape", "-s", "60000"}, {}, Spawn{.quiet = true});
  ASSERT_NO_FATAL_FAILURE(Start(ProgramUnderTest(GLIMMERFELD_BINARY)));
  auto ended = [&] {
    return "status " + std::to_string(program_->Wait(0ms).value_or(-1)) + ": " + program_->Stderr();
  };
  // It has taken the window's first frames by now, and so the enter event.
  ASSERT_TRUE(HoldsFor([&] { return program_->Running(); }, 1s))
      << "ended with a key held as the window appeared, " << ended();
  held->Stop();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(sway_->Run("wtype", {"-k", "Escape"}), std::optional<int>(0)) << "key " << i;
    ASSERT_TRUE(program_->Running()) << "ended by key " << i << ", " << ended();
  }
  ExpectCleanEndOnSigterm(*program_);
}

// An open window keeps no idle inhibitor: the screen still blanks and locks.
TEST_F(UnderSway, TheSessionStillGoesIdle) {
  const std::string record = sway_->runtime_dir() + "/run";
  ASSERT_NO_FATAL_FAILURE(Start(GLIMMERFELD_RECORDING_BINARY, {"--out=" + record}));
  const std::string idle = sway_->runtime_dir() + "/idle";
  const auto since = std::chrono::steady_clock::now();
  const auto swayidle = sway_->Launch(
      FindOnPath("swayidle"), {"-w", "timeout", "2", "touch " + idle}, {}, Spawn{.quiet = true});
  EXPECT_TRUE(Eventually([&] { return access(idle.c_str(), F_OK) == 0; }, 20s))
      << "the 2 s idle timeout never fired; " << swayidle->Stderr();
  std::printf("idle after %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count());
  ExpectCleanEndOnSigterm(*program_);
  const auto run = ReadRecordedRun(record);
  ASSERT_TRUE(run.has_value());
  EXPECT_TRUE(run->idle_allowed);
}

// An output's picture as grim takes it, 8 bits a channel.
Image Picture(const Sway& sway, const std::string& output) {
  const std::string path = sway.runtime_dir() + "/" + output + ".ppm";
  Image image;
  if (sway.Run("grim", {"-t", "ppm", "-o", output, path}) != std::optional<int>(0)) return image;
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int depth = 0;
  in >> magic >> image.width >> image.height >> depth;
  in.get();
  if (magic != "P6" || depth != 255) return {};
  image.pixels.resize(static_cast<std::size_t>(image.width) * image.height);
  for (auto& p : image.pixels) {
    unsigned char rgb[3] = {};
    in.read(reinterpret_cast<char*>(rgb), 3);
    p = (std::uint32_t{rgb[0]} << 16) | (std::uint32_t{rgb[1]} << 8) | rgb[2];
  }
  return in ? image : Image{};
}

// --background on two outputs: each shows a field of its own, the ball over
// bright points only, points that stay and grow in number; an output added
// while it runs gets a field too; SIGTERM ends it.
TEST(SwayBackground, EveryOutputGetsAFieldOfItsOwn) {
  Sway sway(2);
  const auto program = sway.Launch(ProgramUnderTest(GLIMMERFELD_BINARY), {"--background"});
  const ConformanceTable table = ReadConformanceTable();
  const ExpectedPicture at1 = table.At(1);
  const std::vector<std::string> outputs = {"HEADLESS-1", "HEADLESS-2"};
  // Both early, while the ball still shows on black between the points.
  std::vector<Image> first(outputs.size());
  const auto since = std::chrono::steady_clock::now();
  EXPECT_TRUE(Eventually(
      [&] {
        for (std::size_t i = 0; i < outputs.size(); ++i) {
          first[i] = Picture(sway, outputs[i]);
          // The output's size, not the window's: the ball and points only.
          if (LitCount(first[i]) < 1000 || !FindExpectedBall(first[i], at1)) return false;
        }
        return true;
      },
      30s))
      << "no ball over a field on every output; running " << program->Running() << ": "
      << program->Stderr() << sway.Log();
  std::printf("both outputs showed the ball over a field after %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count());
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    // Black, the ball's white, or a point bright in every channel.
    const auto dim =
        std::count_if(first[i].pixels.begin(), first[i].pixels.end(), [&](std::uint32_t p) {
          const int low = std::min({Image::Red(p), Image::Green(p), Image::Blue(p)});
          return p != 0 && low < table.min_channel;
        });
    EXPECT_EQ(dim, 0) << outputs[i];
  }
  ASSERT_EQ(first.size(), 2u);
  EXPECT_NE(first[0].pixels, first[1].pixels) << "both outputs show the same field";
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const Image later = Picture(sway, outputs[i]);
    ASSERT_EQ(later.pixels.size(), first[i].pixels.size()) << outputs[i];
    // Every point stays; the ball's white moves on.
    std::size_t lost = 0;
    for (std::size_t p = 0; p < later.pixels.size(); ++p)
      lost += first[i].pixels[p] != 0 && first[i].pixels[p] != 0xffffff && later.pixels[p] == 0;
    EXPECT_EQ(lost, 0u) << outputs[i] << ": points went";
    EXPECT_GT(LitCount(later), LitCount(first[i])) << outputs[i];
    std::printf("%s: %d x %d, %zu then %zu pixels lit\n", outputs[i].c_str(), later.width,
                later.height, LitCount(first[i]), LitCount(later));
  }
  ASSERT_EQ(sway.Run("swaymsg", {"create_output"}), std::optional<int>(0));
  const auto added = std::chrono::steady_clock::now();
  EXPECT_TRUE(Eventually(
      [&] {
        const Image image = Picture(sway, "HEADLESS-3");
        return LitCount(image) >= 1000 && FindExpectedBall(image, at1).has_value();
      },
      30s))
      << "the added output got no field";
  std::printf("the added output showed its field after %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - added).count());
  ExpectCleanEndOnSigterm(*program);
}

}  // namespace
}  // namespace glimmer::testing
