// The Windows build (build-windows) under Wine, in a private Xvfb. Wine is a
// real Win32 environment whose windows are X windows, so the probe that
// judges the Linux program judges these too. One Wine prefix serves the whole
// run (the windows.prefix test makes it with scripts/wine-prefix); each test
// stops its Wine server, whose desktop process belongs to that test's X
// server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/conformance.h"
#include "tests/support/process.h"
#include "tests/support/program_under_x.h"
#include "tests/support/x11_probe.h"

namespace glimmer::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string kBuild = GLIMMER_WINDOWS_BUILD;
const std::string kProgram = kBuild + "/glimmerfeld.exe";
const std::string kScreensaver = kBuild + "/glimmerfeld.scr";
const std::string kScrHost = kBuild + "/tests/scr_host.exe";
constexpr auto kStartTimeout = 60s;  // Wine's server and desktop start first

class ProgramUnderWine : public ProgramUnderX {
 protected:
  static void SetUpTestSuite() {
    // For every Wine process started: no debug chatter on stderr, and no
    // offer to download the Mono and Gecko add-ons, which would wait in a
    // dialog.
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
  }

  void SetUp() override {
    const char* prefix = std::getenv("WINEPREFIX");
    ASSERT_TRUE(prefix != nullptr && fs::exists(fs::path(prefix) / "system.reg"))
        << "no Wine prefix: run these through ctest, whose windows.prefix test makes one, or "
           "set WINEPREFIX to one made by scripts/wine-prefix";
    prefix_ = prefix;
    // Large enough for the window at 144 dpi: capturing needs all of it on screen.
    StartServer({}, "3200x2400x24");
  }

  void TearDown() override {
    ProgramUnderX::TearDown();
    if (dpi_changed_) {
      RunWine({"reg", "delete", kDesktopKey, "/v", "LogPixels", "/f"});
    }
    Child stop("/usr/bin/env", {"wineserver", "-k"});
    stop.Wait(30s);
  }

  // Runs xdotool with `args` on the server, to its end.
  void Xdotool(const std::vector<std::string>& args) {
    const std::string xdotool = FindOnPath("xdotool");
    ASSERT_FALSE(xdotool.empty()) << "xdotool is not installed (scripts/install-deps test)";
    Child run(xdotool, args, Child::EnvChanges{{"DISPLAY", server_->display()}});
    EXPECT_EQ(run.Wait(30s), std::optional<int>(0)) << run.Stderr();
  }

  // Runs a Wine command to its end; its exit status, or nullopt on time-out.
  std::optional<int> RunWine(const std::vector<std::string>& args,
                             std::chrono::milliseconds timeout = 120s) {
    std::vector<std::string> all{"wine"};
    all.insert(all.end(), args.begin(), args.end());
    Child child("/usr/bin/env", all, Child::EnvChanges{{"DISPLAY", server_->display()}});
    return child.Wait(timeout);
  }

  // Starts a Windows program and waits for its window.
  Window LaunchUnderWine(const std::string& exe) {
    if (!fs::exists(exe)) {
      ADD_FAILURE() << exe << " is missing: run make windows-package";
      return 0;
    }
    return Launch("/usr/bin/env", {"wine", exe}, kStartTimeout);
  }

  // Sets the display's DPI for programs started from now on, as Windows'
  // display settings do.
  void SetDpi(int dpi) {
    ASSERT_EQ(RunWine({"reg", "add", kDesktopKey, "/v", "LogPixels", "/t", "REG_DWORD", "/d",
                       std::to_string(dpi), "/f"}),
              std::optional<int>(0));
    dpi_changed_ = true;
  }

  static constexpr const char* kDesktopKey = "HKCU\\Control Panel\\Desktop";
  fs::path prefix_;
  bool dpi_changed_ = false;
};

// A path as a Windows program under Wine names it: on drive Z:, the Unix root.
std::string WindowsPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

TEST_F(ProgramUnderWine, CrossBuiltUnitTestsPass) {
  const std::string tests = kBuild + "/tests/unit_tests.exe";
  ASSERT_TRUE(fs::exists(tests)) << tests << " is missing: run make windows";
  // All of its output into the file Child keeps for stderr.
  Child run("/bin/sh", {"-c", "exec wine \"$0\" 1>&2", tests},
            Child::EnvChanges{{"DISPLAY", server_->display()}});
  const auto status = run.Wait(600s);
  const std::string out = run.Stderr();
  EXPECT_EQ(status, std::optional<int>(0)) << out;
  const auto passed = out.find("[  PASSED  ]");
  ASSERT_NE(passed, std::string::npos) << out;
  std::printf("under Wine: %s\n", out.substr(passed, out.find('\n', passed) - passed).c_str());
}

TEST_F(ProgramUnderWine, OpensItsWindowSpraysBrightPointsAndClosesWithStatusZero) {
  const Window w = LaunchUnderWine(kProgram);
  ASSERT_NE(w, 0u);
  EXPECT_EQ(probe_->Size(w), std::make_pair(992, 741));
  // The frame Wine reports without a window manager differs from the one
  // assumed by a few pixels, which moves the estimated rate by a few per cent.
  ExpectAFieldAtTheSprayRate(w, "under Wine: ");

  probe_->RequestClose(w);
  EXPECT_EQ(program_->Wait(30s), std::optional<int>(0));
  EXPECT_EQ(program_->Stderr().find("glimmerfeld:"), std::string::npos) << program_->Stderr();
}

TEST_F(ProgramUnderWine, ARunTimeErrorShowsAMessageBoxAndExitsWithStatusOneOnceDismissed) {
  const Window w = LaunchUnderWine(kBuild + "/tests/glimmerfeld_fault.exe");
  ASSERT_NE(w, 0u);
  // The box carries the window's title too, and is the other window so titled.
  Window box = 0;
  Eventually(
      [&] {
        for (Window t : probe_->WindowsTitled(kWindowTitle)) {
          if (t != w) box = t;
        }
        return box != 0;
      },
      30s);
  ASSERT_NE(box, 0u) << "no message box; stderr: " << program_->Stderr();
  const auto [bw, bh] = probe_->Size(box);
  EXPECT_LT(bw * bh, 992 * 741 / 4) << "the second window is no message box";
  // One line; Windows' C runtime ends it with CR LF.
  EXPECT_EQ(program_->Stderr(),
            "glimmerfeld: Run-time error: floating-point fault in the ball's step\r\n");
  // It waits for the user.
  EXPECT_FALSE(program_->Wait(1s).has_value()) << "ended before the box was dismissed";
  probe_->RequestClose(box);
  EXPECT_EQ(program_->Wait(30s), std::optional<int>(1));
}

// The same checks as every other platform's cells, at the display densities
// Windows offers, from the start; then covered by another window and shown
// again, nothing lit is lost.
class WineConformance : public ProgramUnderWine, public ::testing::WithParamInterface<int> {};

TEST_P(WineConformance, ShowsTheExpectedPictureAndKeepsItWhenUncovered) {
  const int dpi = GetParam();
  const ConformanceTable table = ReadConformanceTable();
  const ExpectedPicture expected = table.At(dpi / 96.0);
  SetDpi(dpi);
  const Window w = LaunchUnderWine(kProgram);
  ASSERT_NE(w, 0u);
  const Image shown = probe_->CaptureUntil(
      w, [&](const Image& i) { return ShowsBallAndField(i, expected, kField); }, 60s);
  ExpectConformingPicture(shown, expected, table.min_channel, "wine-dpi" + std::to_string(dpi));

  ExpectNothingLostUnderACover(*probe_, w);
  probe_->RequestClose(w);
  EXPECT_EQ(program_->Wait(30s), std::optional<int>(0)) << program_->Stderr();
}

INSTANTIATE_TEST_SUITE_P(Cells, WineConformance, ::testing::Values(96, 120, 144),
                         [](const ::testing::TestParamInfo<int>& cell) {
                           return "dpi" + std::to_string(cell.param);
                         });

// Once Windows says the window has moved from a 96-dpi display to one of 144
// dpi, the client area keeps its size in twips and the ball is re-shaped.
TEST_F(ProgramUnderWine, MovedFrom96To144DpiTheClientAreaIs1488By1112WithABallTwoPixelsThick) {
  const ExpectedPicture expected = ReadConformanceTable().At(1.5);
  SetDpi(96);
  const Window w = LaunchUnderWine(kBuild + "/tests/glimmerfeld_dpi_change.exe");
  ASSERT_NE(w, 0u);
  const auto size = std::make_pair(expected.client_width, expected.client_height);
  Eventually([&] { return probe_->Size(w) == size; }, 30s);
  EXPECT_EQ(probe_->Size(w), size);
  const Image img =
      CaptureUntil(w, [&](const Image& i) { return FindExpectedBall(i, expected).has_value(); });
  EXPECT_TRUE(FindExpectedBall(img, expected).has_value())
      << "no ball of " << expected.ball << " px drawn " << expected.line << " px thick";
  probe_->RequestClose(w);
  EXPECT_EQ(program_->Wait(30s), std::optional<int>(0)) << program_->Stderr();
}

// The user holds the title bar for three seconds, having dragged the window
// 20 pixels: Windows' modal move loop, in which SDL's event pump does not
// return. Under Wine's virtual desktop Wine draws the title bar and runs
// that loop itself, as Windows does; xdotool presses, drags and holds the
// mouse. Meanwhile the ball moves, the field fills, and the run's record
// shows no more ticks dropped than a run without the hold.
TEST_F(ProgramUnderWine, HoldingTheTitleBarFreezesNeitherTheBallNorTheField) {
  const std::string bench = kBuild + "/glimmerfeld_bench.exe";
  ASSERT_TRUE(fs::exists(bench)) << bench << " is missing: run make windows";
  record_path_ = TempFile("run");
  StartProgram("/usr/bin/env", {"wine", "explorer", "/desktop=glimmer,1280x1024", bench,
                                "--out=Z:" + record_path_});
  const auto found = probe_->WaitForWindow(kWindowTitle, kStartTimeout);
  ASSERT_TRUE(found.has_value()) << program_->Stderr();
  // In the virtual desktop the X window is the whole Windows window, frame
  // and title bar included.
  const Window w = *found;
  // Points have channels of their own; the frame, the title bar and whatever
  // Wine shows before the first frame are grey, white or blue.
  auto points = [](const Image& img) {
    return std::count_if(img.pixels.begin(), img.pixels.end(), [](std::uint32_t p) {
      const int r = Image::Red(p), g = Image::Green(p), b = Image::Blue(p);
      return r >= 30 && g >= 30 && b >= 30 && (r != g || g != b);
    });
  };
  CaptureUntil(w, [&](const Image& img) { return points(img) > 100'000; });
  auto position = [&] {
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(probe_->display(), w, DefaultRootWindow(probe_->display()), 0, 0, &x, &y,
                          &child);
    return std::make_pair(x, y);
  };
  const auto [x0, y0] = position();
  const auto [width, height] = probe_->Size(w);
  const int grab_x = x0 + width / 2, grab_y = y0 + 10;  // on the title bar
  Xdotool({"mousemove", std::to_string(grab_x), std::to_string(grab_y), "mousedown", "1"});
  Xdotool({"mousemove", std::to_string(grab_x + 20), std::to_string(grab_y)});
  const auto held = Clock::now();
  // The window follows the mouse: the modal loop runs.
  EXPECT_TRUE(Eventually([&] { return position().first == x0 + 20; }, 10s))
      << "the window did not move with the mouse";
  const ExpectedPicture at96 = ReadConformanceTable().At(1);
  const Image early = probe_->Capture(w);
  std::set<std::pair<int, int>> balls;
  Image late = early;
  const bool ran = HoldsFor(
      [&] {
        late = probe_->Capture(w);
        if (auto at = FindExpectedBall(late, at96)) balls.insert(*at);
        return program_->Running();
      },
      held + 3s - Clock::now(), 0ms);
  Xdotool({"mouseup", "1"});
  ASSERT_TRUE(ran) << "ended while the title bar was held: " << program_->Stderr();
  std::printf("during the hold: %td points, then %td; the ball seen at %zu places\n", points(early),
              points(late), balls.size());
  EXPECT_GT(points(late), points(early) + 10'000) << "the field did not fill";
  EXPECT_GE(balls.size(), 3u) << "the ball did not move";

  probe_->RequestClose(w);
  ASSERT_EQ(program_->Wait(30s), std::optional<int>(0)) << program_->Stderr();
  const auto run = Recorded();
  ASSERT_TRUE(run.has_value());
  // Nor does it keep Windows from going idle.
  EXPECT_TRUE(run->idle_allowed);
  for (const auto& t : run->timers) {
    const double expected = run->elapsed_ms() * 1e6 / static_cast<double>(t.interval_ns);
    std::printf("%s: %llu delivered, %llu dropped, of %.0f over %.0f ms\n", t.name.c_str(),
                static_cast<unsigned long long>(t.delivered),
                static_cast<unsigned long long>(t.dropped), expected, run->elapsed_ms());
    // Frozen for the hold, a 1 ms timer would drop some 3000 ticks.
    EXPECT_LT(static_cast<double>(t.dropped), 1.5e9 / static_cast<double>(t.interval_ns)) << t.name;
    EXPECT_GE(static_cast<double>(t.delivered), 0.5 * expected) << t.name;
  }
}

// The screensaver as Windows starts it once the user is idle: over the whole
// virtual screen, the field from the first frames, the pointer's tremor
// ignored, and a real move of the mouse ending it at once with status 0; so
// does another program coming to the front, here of the program started
// with --screensaver, the same as /s.
TEST_F(ProgramUnderWine, ScreensaverCoversTheScreenAndEndsOnAMouseMoveOrAnotherProgramInFront) {
  auto mouse_to = [&](int x, int y) {
    Xdotool({"mousemove", std::to_string(x), std::to_string(y)});
  };
  StartServer({}, "1280x1024x24");
  mouse_to(600, 500);
  StartProgram("/usr/bin/env", {"wine", kScreensaver, "/s"});
  const auto found = probe_->WaitForWindow(kWindowTitle, kStartTimeout);
  ASSERT_TRUE(found.has_value()) << program_->Stderr();
  const Window w = *found;
  EXPECT_EQ(probe_->Size(w), std::make_pair(1280, 1024));

  const ExpectedPicture at96 = ReadConformanceTable().At(1);
  // Lit in every quarter of the screen: the points spread over all of it.
  auto quarters_lit = [](const Image& img) {
    const auto lit = LitPerQuarter(img);
    return *std::min_element(lit.begin(), lit.end());
  };
  const Image shown = probe_->CaptureUntil(
      w,
      [&](const Image& i) {
        return quarters_lit(i) > 2000 && FindExpectedBall(i, at96).has_value();
      },
      60s);
  EXPECT_TRUE(FindExpectedBall(shown, at96).has_value()) << "no ball";
  EXPECT_GT(quarters_lit(shown), 2000u) << "a quarter of the screen has no points";
  EXPECT_EQ(DimCount(shown), 0u) << "lit pixels with a channel below 30";

  mouse_to(602, 503);
  EXPECT_FALSE(program_->Wait(1s).has_value()) << "a move of 3 pixels ended it";
  const auto moved = Clock::now();
  mouse_to(700, 600);
  const auto status = program_->Wait(30s);
  std::printf("the screensaver ended %.0f ms after the mouse moved\n",
              std::chrono::duration<double, std::milli>(Clock::now() - moved).count());
  EXPECT_EQ(status, std::optional<int>(0)) << program_->Stderr();

  StartProgram("/usr/bin/env", {"wine", kProgram, "--screensaver"});
  const auto again = probe_->WaitForWindow(kWindowTitle, kStartTimeout);
  ASSERT_TRUE(again.has_value()) << program_->Stderr();
  EXPECT_EQ(probe_->Size(*again), std::make_pair(1280, 1024));
  Child front("/usr/bin/env", {"wine", kScrHost, "front"},
              Child::EnvChanges{{"DISPLAY", server_->display()}});
  EXPECT_EQ(front.Wait(60s), std::optional<int>(0)) << front.Stderr();
  EXPECT_NE(front.Stderr().find("in front: yes"), std::string::npos) << front.Stderr();
  EXPECT_EQ(program_->Wait(30s), std::optional<int>(0)) << "still running with another in front";
}

// The Screen Saver settings' preview: the helper's window stands for the
// settings page. The program draws in a child window of it, its size, and
// ends with status 0 once the page closes. (Wine gives a child of another
// process's window no way to the screen, so its pixels are not looked at.)
TEST_F(ProgramUnderWine, ScreensaverPreviewRunsInAChildOfTheHostsWindowAndEndsWithIt) {
  StartProgram("/usr/bin/env", {"wine", kScrHost, "preview", WindowsPath(kScreensaver)});
  const auto host = probe_->WaitForWindow("Screensaver host", kStartTimeout);
  ASSERT_TRUE(host.has_value()) << program_->Stderr();
  ASSERT_TRUE(
      Eventually([&] { return program_->Stderr().find("child") != std::string::npos; }, 60s))
      << program_->Stderr();
  EXPECT_NE(program_->Stderr().find("child: GlimmerfeldScreensaver 320x240 in 320x240, visible"),
            std::string::npos)
      << program_->Stderr();
  // Still running: the preview lasts as long as its parent.
  EXPECT_FALSE(program_->Wait(1s).has_value()) << program_->Stderr();
  probe_->RequestClose(*host);
  EXPECT_EQ(program_->Wait(60s), std::optional<int>(0)) << program_->Stderr();
  EXPECT_NE(program_->Stderr().find("status 0 after"), std::string::npos) << program_->Stderr();
}

// "Settings", and a .scr opened with no argument: a dialog saying there is
// nothing to set, owned by the settings page's window when it is named; OK
// ends the program with status 0.
TEST_F(ProgramUnderWine, ScreensaverSettingsShowADialogWithNothingToSet) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
      {{"/c:%HWND%"}, "owner: host"},
      {{}, "owner: none"},
  };
  for (const auto& [args, owner] : runs) {
    std::vector<std::string> all{"wine", kScrHost, "settings", WindowsPath(kScreensaver)};
    all.insert(all.end(), args.begin(), args.end());
    Child run("/usr/bin/env", all, Child::EnvChanges{{"DISPLAY", server_->display()}});
    const auto status = run.Wait(120s);
    const std::string out = run.Stderr();
    const std::string shown = args.empty() ? "(no argument)" : args.front();
    EXPECT_EQ(status, std::optional<int>(0)) << shown << ": " << out;
    EXPECT_NE(out.find("title: Glimmerfeld\r\n"), std::string::npos) << shown << ": " << out;
    EXPECT_NE(out.find("text: Glimmerfeld has nothing to set: it has no options.\r\n"),
              std::string::npos)
        << shown << ": " << out;
    EXPECT_NE(out.find(owner), std::string::npos) << shown << ": " << out;
  }
}

TEST_F(ProgramUnderWine,
       SilentInstallPutsTheProgramShortcutAndScreensaverInPlaceAndUninstallRemovesThem) {
  const std::string setup = kBuild + "/glimmerfeld-" GLIMMER_VERSION "-win64-setup.exe";
  ASSERT_TRUE(fs::exists(setup)) << setup << " is missing: run make windows-package";
  const fs::path drive_c = prefix_ / "drive_c";
  const fs::path installed = drive_c / "Program Files" / "Glimmerfeld" / "glimmerfeld.exe";
  // All users' Start menu, or the user's own if the installer ran without
  // administrator rights.
  auto shortcut = [&]() -> std::optional<fs::path> {
    std::vector<fs::path> menus{drive_c / "ProgramData/Microsoft/Windows/Start Menu/Programs"};
    for (const auto& user : fs::directory_iterator(drive_c / "users")) {
      menus.push_back(user.path() / "AppData/Roaming/Microsoft/Windows/Start Menu/Programs");
    }
    for (const fs::path& menu : menus) {
      const fs::path lnk = menu / "Glimmerfeld" / "Glimmerfeld.lnk";
      if (fs::exists(lnk)) return lnk;
    }
    return std::nullopt;
  };

  // An installer's exit status says little: judge what it installed.
  RunWine({setup, "/S"});
  EXPECT_TRUE(Eventually([&] { return fs::exists(installed); }, 60s)) << installed;
  EXPECT_TRUE(fs::exists(installed.parent_path() / "LICENSE.txt"));
  EXPECT_TRUE(fs::exists(installed.parent_path() / "NOTICES.txt"));
  // Where the Screen Saver settings list screensavers.
  const fs::path screensaver = drive_c / "windows" / "system32" / "glimmerfeld.scr";
  EXPECT_TRUE(Eventually([&] { return fs::exists(screensaver); }, 60s)) << screensaver;
  ASSERT_TRUE(Eventually([&] { return shortcut().has_value(); }, 60s)) << "no Start-menu shortcut";

  // The shortcut starts the installed program.
  ASSERT_EQ(RunWine({"start", "/unix", shortcut()->string()}), std::optional<int>(0));
  const auto w = probe_->WaitForWindow(kWindowTitle, kStartTimeout);
  ASSERT_TRUE(w.has_value()) << "the installed program opened no window";
  EXPECT_EQ(probe_->Size(*w), std::make_pair(992, 741));
  probe_->RequestClose(*w);
  EXPECT_TRUE(Eventually([&] { return !probe_->Exists(*w); }, 30s)) << "the window did not close";

  // The uninstaller hands over to a copy of itself and returns at once.
  RunWine({(installed.parent_path() / "Uninstall.exe").string(), "/S"});
  EXPECT_TRUE(Eventually(
      [&] { return !fs::exists(installed) && !shortcut() && !fs::exists(screensaver); }, 60s))
      << "left behind: " << (fs::exists(installed) ? installed.string() : "")
      << (shortcut() ? " " + shortcut()->string() : "")
      << (fs::exists(screensaver) ? " " + screensaver.string() : "");
}

}  // namespace
}  // namespace glimmer::testing
