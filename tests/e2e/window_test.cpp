// The real program in a private X server, judged by its window's pixels.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/icon_art.h"
#include "tests/support/ball_finder.h"
#include "tests/support/ball_offsets.h"
#include "tests/support/conformance.h"
#include "tests/support/process.h"
#include "tests/support/program_under_x.h"
#include "tests/support/x11_probe.h"

namespace glimmer::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ProgramWindow : public ProgramUnderX {
 protected:
  void SetUp() override { StartServer(); }

  // Starts the program and waits for its window to be shown.
  Window Start() { return Launch(GLIMMERFELD_BINARY); }
};

TEST_F(ProgramWindow, OpensItsWindowAndBuildsABrightSpeckleFieldAtTheRequestedTickRate) {
  const Window w = Start();
  ASSERT_NE(w, 0u);
  EXPECT_EQ(probe_->Size(w), std::make_pair(992, 741));
  ExpectAFieldAtTheSprayRate(w, "");
}

TEST_F(ProgramWindow, BallDriftsDownTheDiagonalThenKeepsCrossing) {
  const Window w = LaunchRecorded(GLIMMERFELD_RECORDING_BINARY);
  ASSERT_NE(w, 0u);
  const auto found = Clock::now();
  const auto ball = BallOffsets(33, 1);
  // Early on: captures stamped on the monotonic clock, which the program's
  // record of its run also reads, so that each is timed from the moment the
  // program started its ticks however late the test saw the window. Stamped
  // after the capture, so that a capture is never earlier than it says.
  std::vector<std::pair<Clock::time_point, std::pair<int, int>>> seen;
  const auto look = [&] {
    if (auto pos = FindBall(probe_->Capture(w), ball, 33)) seen.emplace_back(Clock::now(), *pos);
    return program_->Running();
  };
  ASSERT_TRUE(HoldsFor(look, 700ms, 0ms)) << program_->Stderr();
  // Later: fast enough to be somewhere new at every look, always back in view.
  ASSERT_TRUE(HoldsFor([&] { return program_->Running(); }, found + 1500ms - Clock::now()));
  std::set<std::pair<int, int>> later;
  EXPECT_TRUE(Eventually(
      [&] {
        if (auto pos = FindBall(probe_->Capture(w), ball, 33)) later.insert(*pos);
        return later.size() >= 4;
      },
      20s))
      << "the ball stopped crossing the window";
  CloseAndExpectCleanEnd(w);
  const auto run = Recorded();
  ASSERT_TRUE(run.has_value());

  // Until 0.45 s the ball has not reached the edge (at about 0.55 s): on the
  // diagonal, further along in each capture.
  std::vector<std::pair<double, std::pair<int, int>>> early;
  for (const auto& [at, pos] : seen) {
    const double t =
        (std::chrono::nanoseconds(at.time_since_epoch()).count() - run->shown_at_ns) / 1e9;
    if (t < 0.45) early.emplace_back(t, pos);
  }
  ASSERT_GE(early.size(), 3u) << "the ball was not found early on";
  for (std::size_t i = 0; i < early.size(); ++i) {
    const auto [x, y] = early[i].second;
    std::printf("t=%.3f s: ball at (%d, %d) px; about %.0f px expected\n", early[i].first, x, y,
                50'000.0 * early[i].first * early[i].first / 15.0);
    EXPECT_LE(std::abs(x - y), 1) << "off the diagonal";
    EXPECT_LT(y, 741);
    if (i > 0) {
      EXPECT_GE(x, early[i - 1].second.first) << "moved backwards";
    }
  }
  EXPECT_GT(early.back().second.first, early.front().second.first) << "the ball never moved";
}

// A window manager's close, SIGINT and SIGTERM each end it with status 0.
TEST_F(ProgramWindow, EndsWithStatusZeroOnACloseSigintOrSigterm) {
  const Window w = Start();
  ASSERT_NE(w, 0u);
  CaptureUntil(w, [](const Image& img) { return LitCount(img) > 1000; });
  CloseAndExpectCleanEnd(w);
  for (int sig : {SIGINT, SIGTERM}) {
    ASSERT_NE(Start(), 0u);
    program_->Signal(sig);
    EXPECT_EQ(program_->Wait(20s), std::optional<int>(0)) << "signal " << sig;
  }
}

// The server's own screensaver comes on after its idle time while the window
// is open and drawing: the program never holds off blanking or the lock.
TEST_F(ProgramWindow, LetsTheServersScreensaverComeOn) {
  StartServer({"-noreset"});
  probe_->SetScreensaverTimeout(2);
  const Window w = LaunchRecorded(GLIMMERFELD_RECORDING_BINARY);
  ASSERT_NE(w, 0u);
  const auto drawing = Clock::now();
  CaptureUntil(w, [](const Image& img) { return LitCount(img) > 1000; });
  EXPECT_TRUE(Eventually([&] { return probe_->ScreensaverOn(); }, 20s))
      << "the server's screensaver never came on";
  std::printf("the screensaver came on %.1f s after the window\n",
              std::chrono::duration<double>(Clock::now() - drawing).count());
  CloseAndExpectCleanEnd(w);
  const auto run = Recorded();
  ASSERT_TRUE(run.has_value());
  EXPECT_TRUE(run->idle_allowed);
}

TEST_F(ProgramWindow, TwoRunsPlotDifferentPatterns) {
  std::vector<Image> shots;
  for (int run = 0; run < 2; ++run) {
    const Window w = Start();
    ASSERT_NE(w, 0u);
    shots.push_back(CaptureUntil(w, [](const Image& img) { return LitCount(img) > 50'000; }));
    CloseAndExpectCleanEnd(w);
  }
  std::size_t both = 0, either = 0;
  for (std::size_t i = 0; i < shots[0].pixels.size(); ++i) {
    const bool a = shots[0].pixels[i] != 0, b = shots[1].pixels[i] != 0;
    both += a && b ? 1 : 0;
    either += a || b ? 1 : 0;
  }
  // Independent fields of this density share only a small part of their pixels.
  EXPECT_LT(static_cast<double>(both) / static_cast<double>(either), 0.5);
}

// The window names the program as its desktop entry does, and carries the
// picture of the installed icon files, so docks and switchers show it.
TEST_F(ProgramWindow, CarriesTheProgramsIconAndAppId) {
  const Window w = Start();
  ASSERT_NE(w, 0u);
  // Instance the program's name, class the desktop entry's.
  EXPECT_EQ(probe_->WmClass(w), std::string("glimmerfeld/") + GLIMMER_APP_ID);
  const int n = icon_art::kWindowIconSize;
  const std::vector<unsigned long> icon = probe_->Property32(w, "_NET_WM_ICON");
  ASSERT_EQ(icon.size(), 2u + static_cast<std::size_t>(n * n));
  EXPECT_EQ(icon[0], static_cast<unsigned long>(n));
  EXPECT_EQ(icon[1], static_cast<unsigned long>(n));
  const std::vector<std::uint32_t> art = icon_art::DrawPixels(n, icon_art::MakeSpeckles());
  std::size_t differ = 0;
  for (std::size_t i = 0; i < art.size(); ++i)
    differ += icon[2 + i] != (0xff000000ul | art[i]) ? 1 : 0;
  EXPECT_EQ(differ, 0u);
}

// Where the program has not drawn yet, the server paints black at once: in
// the area a resize uncovers, and over the whole window when it is mapped.
// The program is stopped throughout, so nothing but the server paints, under
// a window manager whose frame would otherwise show through.
TEST_F(ProgramWindow, ShowsBlackWhereverItHasNotDrawnYet) {
  // The old root weave, so that whatever shows through is not black.
  StartServer({"-retro"});
  ASSERT_NO_FATAL_FAILURE(StartWindowManager());
  const Window w = Start();
  ASSERT_NE(w, 0u);
  CaptureUntil(w, [](const Image& img) { return LitCount(img) > 20'000; });
  program_->Signal(SIGSTOP);
  ASSERT_TRUE(Eventually([&] { return program_->Stopped(); }, 20s, 5ms));
  const Image last = probe_->Capture(w);

  probe_->Resize(w, 1200, 900);
  ASSERT_TRUE(Eventually([&] { return probe_->Size(w) == std::make_pair(1200, 900); }, 20s, 5ms));
  const Image grown = probe_->Capture(w);
  std::size_t lit_outside = 0, moved_inside = 0;
  for (int y = 0; y < grown.height; ++y) {
    for (int x = 0; x < grown.width; ++x) {
      if (x >= last.width || y >= last.height) {
        lit_outside += grown.at(x, y) != 0 ? 1 : 0;
      } else {
        moved_inside += grown.at(x, y) != last.at(x, y) ? 1 : 0;
      }
    }
  }
  EXPECT_EQ(lit_outside, 0u) << "the uncovered area was not black";
  EXPECT_EQ(moved_inside, 0u) << "what was shown did not stay in place";

  probe_->Iconify(w);
  Eventually([&] { return !probe_->Viewable(w); }, 20s, 5ms);
  probe_->MapRaised(w);
  ASSERT_TRUE(Eventually([&] { return probe_->Viewable(w); }, 20s, 5ms));
  EXPECT_EQ(LitCount(probe_->Capture(w)), 0u) << "the mapped window was not black";

  // Running again, it paints its field back.
  program_->Signal(SIGCONT);
  const std::size_t lit = LitCount(last);
  EXPECT_GE(LitCount(CaptureUntil(w, [&](const Image& img) { return LitCount(img) >= lit; })), lit);
  CloseAndExpectCleanEnd(w);
}

// As a screensaver: as an xscreensaver hack the program draws into the
// window it is given and opens none of its own; --screensaver opens one over
// the screen.
class AsScreensaver : public ProgramUnderX {
 protected:
  void SetUp() override { StartServer(); }

  // Waits for the field and the ball in `w`, whose size is the host's.
  Image WaitForField(Window w) {
    const auto ball = BallOffsets(33, 1);
    const Image img = CaptureUntil(
        w, [&](const Image& i) { return LitCount(i) > 3000 && FindBall(i, ball, 33).has_value(); });
    EXPECT_GT(LitCount(img), 3000u) << program_->Stderr();
    EXPECT_TRUE(FindBall(img, ball, 33).has_value()) << "no ball";
    EXPECT_EQ(DimCount(img), 0u) << "lit pixels with a channel below 30";
    return img;
  }
};

TEST_F(AsScreensaver, DrawsIntoTheGivenWindowAndFollowsItsSize) {
  const Window host = probe_->MapHostWindow(640, 480);
  char id[32];
  std::snprintf(id, sizeof id, "0x%lx", host);
  StartProgram(GLIMMERFELD_BINARY, {"--window-id", id});
  WaitForField(host);
  EXPECT_TRUE(probe_->WindowsTitled(kWindowTitle).empty()) << "opened a window of its own";
  EXPECT_EQ(probe_->Size(host), std::make_pair(640, 480)) << "resized the host's window";
  // The host makes its window larger: the points spread over the new area.
  probe_->Resize(host, 900, 700);
  auto grown = [](const Image& i) {
    if (i.width != 900 || i.height != 700) return std::size_t{0};
    std::size_t lit = 0;
    for (int y = 500; y < 700; ++y)
      for (int x = 660; x < 900; ++x)
        lit += i.at(x, y) != 0 ? 1 : 0;
    return lit;
  };
  const Image after = CaptureUntil(host, [&](const Image& i) { return grown(i) > 1000; });
  EXPECT_GT(grown(after), 1000u) << "the new area stays dark";
  ExpectCleanEndOnSigterm(*program_);
}

// One dash and a decimal id work the same, among options of xscreensaver's
// own.
TEST_F(AsScreensaver, TakesOneDashAndDecimalIdsAmongXscreensaversOptions) {
  const Window host = probe_->MapHostWindow(400, 300);
  StartProgram(GLIMMERFELD_BINARY,
               {"-install", "-window-id", std::to_string(host), "-visual", "default"});
  WaitForField(host);
  ExpectCleanEndOnSigterm(*program_);
}

// --root draws on xscreensaver's virtual root where it names one, else on
// the screen's root window; X11 even with a Wayland display set. So does
// --background on X11.
TEST_F(AsScreensaver, OnTheRootDrawsOnTheVirtualRootItIsNamed) {
  const Window virtual_root = probe_->MapHostWindow(800, 600);
  char id[32];
  std::snprintf(id, sizeof id, "0x%lX", virtual_root);
  StartProgram(
      GLIMMERFELD_BINARY, {"--root"},
      {{"XSCREENSAVER_WINDOW", std::string(id)}, {"WAYLAND_DISPLAY", std::string("wayland-none")}});
  WaitForField(virtual_root);
  ExpectCleanEndOnSigterm(*program_);

  probe_->RemoveCover(virtual_root);
  StartProgram(GLIMMERFELD_BINARY, {"-root"}, {{"XSCREENSAVER_WINDOW", std::nullopt}});
  WaitForField(DefaultRootWindow(probe_->display()));
  ExpectCleanEndOnSigterm(*program_);

  // The desktop's background, where there is no Wayland session, is the root.
  StartProgram(GLIMMERFELD_BINARY, {"--background"},
               {{"XSCREENSAVER_WINDOW", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}});
  WaitForField(DefaultRootWindow(probe_->display()));
  ExpectCleanEndOnSigterm(*program_);
}

// Without the desktop's layers (X11 here), --screensaver is a window of its
// own, full screen on the primary display under a window manager: the ball
// over its field. A nudge of 2 px leaves it running and 3 px more, 5 from
// where the pointer was first seen, end it; so does a key; either with
// status 0 and nothing said.
TEST_F(AsScreensaver, OfItsOwnCoversTheScreenUntilAMoveOrAKey) {
  ASSERT_NO_FATAL_FAILURE(StartWindowManager());
  const std::string xdotool = FindOnPath("xdotool");
  auto input = [&](const std::vector<std::string>& args) {
    Child tool(xdotool, args, {{"DISPLAY", server_->display()}});
    return tool.Wait(30s);
  };
  for (const std::string end : {"move", "key"}) {
    SCOPED_TRACE(end);
    const Window w = Launch(GLIMMERFELD_BINARY, {"--screensaver"});
    ASSERT_NE(w, 0u);
    WaitForField(w);
    EXPECT_EQ(probe_->FrameRect(w), (std::array<int, 4>{0, 0, 1280, 1024}));
    ASSERT_EQ(input({"mousemove_relative", "--", "2", "-2"}), std::optional<int>(0));
    EXPECT_TRUE(HoldsFor([&] { return program_->Running(); }, 1s)) << "a nudge of 2 px ended it";
    if (end == "move") {
      ASSERT_EQ(input({"mousemove_relative", "--", "3", "0"}), std::optional<int>(0));
    } else {
      ASSERT_EQ(input({"key", "a"}), std::optional<int>(0));
    }
    EXPECT_EQ(program_->Wait(30s), std::optional<int>(0));
    EXPECT_EQ(program_->Stderr(), "");
  }
}

// --screensaver-after on X11, the server's own screensaver at 1 s: held
// off by another program, the server's saver stays off and so does the
// field; let go, the window covers the screen with its field, a key ends
// that window (the program waits on), and the next idle time brings a new
// one. SIGTERM ends the program.
TEST_F(AsScreensaver, AfterIdleCoversTheScreenUntilAKeyAndAgain) {
  StartServer({"-noreset"});
  ASSERT_NO_FATAL_FAILURE(StartWindowManager());
  probe_->SetScreensaverTimeout(1);
  probe_->HoldScreensaverOff(true);
  StartProgram(GLIMMERFELD_BINARY, {"--screensaver-after", "3"});
  EXPECT_TRUE(HoldsFor(
      [&] { return program_->Running() && probe_->WindowsTitled(kWindowTitle).empty(); }, 6s))
      << "covered while another program held the screensaver off; " << program_->Stderr();
  probe_->HoldScreensaverOff(false);
  for (int round = 0; round < 2; ++round) {
    const auto w = probe_->WaitForWindow(kWindowTitle, 30s);
    ASSERT_TRUE(w.has_value()) << "round " << round << ": no window; " << program_->Stderr();
    WaitForField(*w);
    Child key(FindOnPath("xdotool"), {"key", "a"}, {{"DISPLAY", server_->display()}});
    ASSERT_EQ(key.Wait(30s), std::optional<int>(0));
    EXPECT_TRUE(Eventually([&] { return !probe_->Exists(*w); }, 30s)) << "round " << round;
    ASSERT_TRUE(program_->Running()) << "ended by a key; " << program_->Stderr();
  }
  ExpectCleanEndOnSigterm(*program_);
}

// Under a real xscreensaver (Debian's 6.06), as its only hack: activated,
// the screen shows the field; deactivated, the hack is gone, having said
// nothing. xscreensaver runs no hacks as root, so it runs as nobody, with a
// home and a copy of the program of its own.
TEST_F(AsScreensaver, RunsUnderXscreensaverAndEndsWhenItDeactivates) {
  const std::string xscreensaver = FindOnPath("xscreensaver");
  ASSERT_FALSE(xscreensaver.empty()) << "xscreensaver is not installed (scripts/install-deps test)";
  char tmpl[] = "/tmp/glimmer-xss-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string home = tmpl;
  const std::string hack = home + "/glimmerfeld";
  ASSERT_EQ(std::system(("cp " GLIMMERFELD_BINARY " " + hack).c_str()), 0);
  {
    std::ofstream config(home + "/.xscreensaver");
    config << "mode: one\nselected: 0\ntimeout: 0:30:00\nlock: False\nsplash: False\n"
              "fade: False\nunfade: False\nprograms: \\\n  "
           << hack << " --root \\n\\\n\n";
  }
  ASSERT_EQ(std::system(("chmod 755 " + home + " && chown -R 65534:65534 " + home).c_str()), 0);
  const Child::EnvChanges env{{"DISPLAY", server_->display()}, {"HOME", home}};
  Child saver("/usr/bin/setpriv", AsNobody({xscreensaver, "-no-splash"}), env);
  // Activated once it has started and answers.
  const bool active = Eventually(
      [&] {
        Child command("/usr/bin/setpriv", AsNobody({"/usr/bin/xscreensaver-command", "-activate"}),
                      env);
        return command.Wait(30s) == std::optional<int>(0);
      },
      60s, 100ms);
  ASSERT_TRUE(active) << saver.Stderr();
  WaitForField(DefaultRootWindow(probe_->display()));
  auto hack_running = [&] {
    Child pgrep("/usr/bin/pgrep", {"-f", hack + " --root"});
    return pgrep.Wait(10s) == std::optional<int>(0);
  };
  EXPECT_TRUE(hack_running());
  Child deactivate("/usr/bin/setpriv", AsNobody({"/usr/bin/xscreensaver-command", "-deactivate"}),
                   env);
  EXPECT_EQ(deactivate.Wait(30s), std::optional<int>(0));
  EXPECT_TRUE(Eventually([&] { return !hack_running(); }, 20s))
      << "the hack outlived its screensaver";
  saver.Signal(SIGTERM);
  saver.Wait(30s);
  EXPECT_EQ(saver.Stderr().find("glimmerfeld:"), std::string::npos) << saver.Stderr();
  std::system(("rm -rf " + home).c_str());
}

// What the command line asks for that needs no display: help and the
// version on stdout with status 0; a mistake in one line and status 2.
TEST(ProgramWithoutDisplay, AnswersHelpAndVersionAndRefusesMistakesInOneLine) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {{"--help"}, 0, "--background"},
      {{"--version"}, 0, "glimmerfeld 1."},
      {{"--fullscreen"}, 2, "unknown argument --fullscreen"},
      {{"--window-id", "0x"}, 2, "--window-id needs"},
      {{"--root", "--background"}, 2, "--root and --background exclude each other"},
  };
  for (const auto& c : cases) {
    Child program(GLIMMERFELD_BINARY, c.args,
                  Child::EnvChanges{{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}},
                  Spawn{.quiet = true});
    EXPECT_EQ(program.Wait(20s), std::optional<int>(c.status)) << c.args.front();
    const std::string out = program.Stderr();
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
    if (c.status != 0) {
      EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    }
  }
}

TEST(ProgramWithoutDisplay, RefusesToRunUnseen) {
  Child program(GLIMMERFELD_BINARY, {},
                {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}});
  ExpectRefusedInOneLine(program, "DISPLAY");
}

TEST(ProgramWithoutDisplay, ReportsAnUnreachableDisplay) {
  Child program(GLIMMERFELD_BINARY, {}, {{"DISPLAY", ":777"}, {"WAYLAND_DISPLAY", std::nullopt}});
  ExpectRefusedInOneLine(program, ":777");
}

// A display server that accepts the connection and never answers (it has
// hung, or the socket is not a display's at all), on X11 and on Wayland:
// left alone, the program gives up after a bounded wait with one line naming
// the display and status 1; SIGINT or SIGTERM while it waits end it at once
// with status 0, as a close would.
TEST(ProgramWithoutDisplay, ADisplayThatNeverAnswersEndsTheWaitWithOneLineOrOnASignal) {
  for (const auto kind : {SilentDisplay::Kind::kX11, SilentDisplay::Kind::kWayland}) {
    const bool x11 = kind == SilentDisplay::Kind::kX11;
    SCOPED_TRACE(x11 ? "X11" : "Wayland");
    SilentDisplay display(kind);
    {
      Child program(GLIMMERFELD_BINARY, {}, display.Environment());
      ASSERT_TRUE(display.WaitForClient(20s)) << program.Stderr();
      ExpectRefusedInOneLine(program, "does not answer");
      const std::string name = (x11 ? "DISPLAY=" : "WAYLAND_DISPLAY=") + display.name();
      EXPECT_NE(program.Stderr().find(name), std::string::npos) << program.Stderr();
    }
    for (int sig : {SIGINT, SIGTERM}) {
      SCOPED_TRACE("signal " + std::to_string(sig));
      Child program(GLIMMERFELD_BINARY, {}, display.Environment());
      ASSERT_TRUE(display.WaitForClient(20s)) << program.Stderr();
      program.Signal(sig);
      // Status 1 would be the bounded wait running out instead.
      EXPECT_EQ(program.Wait(60s), std::optional<int>(0));
      EXPECT_EQ(program.Stderr(), "");
    }
  }
}

}  // namespace
}  // namespace glimmer::testing
