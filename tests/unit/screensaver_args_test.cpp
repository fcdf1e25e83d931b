// The arguments that switch the program to a screensaver host's window, and
// that nothing else does; and what ends a screensaver.
#include "app/screensaver_args.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "runtime/core/end_on_input.h"

namespace glimmer {
namespace {

using Host = WindowSettings::Host;

TEST(HostArgs, XscreensaversFormsNameTheWindowOrTheRoot) {
  struct Case {
    std::vector<std::string> args;
    Host host;
    std::uint64_t window;
  };
  const Case cases[] = {
      {{"--root"}, Host::kRootWindow, 0},
      {{"-root"}, Host::kRootWindow, 0},
      {{"--window-id", "0x40000C"}, Host::kHostWindow, 0x40000C},
      {{"-window-id", "0x40000c"}, Host::kHostWindow, 0x40000C},
      {{"--window-id", "4194316"}, Host::kHostWindow, 4194316},
      {{"--window-id=0x2a"}, Host::kHostWindow, 42},
      // xscreensaver adds its own options around the hack's.
      {{"-install", "--window-id", "77", "-visual", "default"}, Host::kHostWindow, 77},
  };
  for (const auto& c : cases) {
    const HostArgs got = ParseHostArgs("/usr/bin/glimmerfeld", c.args);
    EXPECT_EQ(got.host, c.host) << c.args.front();
    EXPECT_EQ(got.window, c.window) << c.args.front();
  }
}

// A plain start is the program's own window; other words, and a mode named
// twice or beside another, are refused in one line naming what is wrong.
TEST(HostArgs, OtherArgumentsAndMoreThanOneModeAreRefused) {
  EXPECT_EQ(ParseHostArgs("glimmerfeld", {}).action, HostArgs::Action::kRun);
  EXPECT_EQ(ParseHostArgs("glimmerfeld", {}).host, Host::kOwnWindow);
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case refused[] = {
      {{"root"}, "unknown argument root"},
      {{"--root=yes"}, "unknown argument --root=yes"},
      {{"/s"}, "unknown argument /s"},  // Windows' forms, in a program not named .scr
      {{"/p", "1234"}, "unknown argument /p"},
      {{"--background=1"}, "unknown argument"},
      {{"--window-id"}, "--window-id needs"},
      {{"--window-id", "0"}, "--window-id needs"},
      {{"--window-id", "-5"}, "--window-id needs"},
      {{"--window-id", "0x"}, "--window-id needs"},
      {{"--window-id", "12abc"}, "--window-id needs"},
      {{"--window-id", "99999999999999999999999"}, "--window-id needs"},
      {{"--root", "--background"}, "--root and --background exclude each other"},
      {{"--background", "-window-id", "7"}, "--background and -window-id exclude each other"},
      {{"--background", "--background"}, "exclude each other"},
      {{"--screensaver", "--root"}, "--screensaver and --root exclude each other"},
      {{"--background", "--screensaver"}, "--background and --screensaver exclude each other"},
      {{"--screensaver=1"}, "unknown argument"},
      {{"--screensaver-after"}, "--screensaver-after needs"},
      {{"--screensaver-after", "0"}, "--screensaver-after needs"},
      {{"--screensaver-after", "2.5"}, "--screensaver-after needs"},
      {{"--screensaver-after=4294968"}, "1 to 4294967"},
      {{"--screensaver-after", "9", "--screensaver"}, "exclude each other"},
  };
  for (const auto& c : refused) {
    const HostArgs got = ParseHostArgs("glimmerfeld", c.args);
    EXPECT_EQ(got.action, HostArgs::Action::kRefuse) << c.args.front();
    EXPECT_NE(got.error.find(c.says), std::string::npos) << got.error;
    EXPECT_EQ(got.error.find('\n'), std::string::npos) << got.error;
  }
  EXPECT_EQ(ParseHostArgs("C:\\Program Files\\Glimmerfeld\\glimmerfeld.exe", {"/s"}).action,
            HostArgs::Action::kRefuse);
}

TEST(HostArgs, HelpVersionAndTheBackgroundNeedNoHost) {
  EXPECT_EQ(ParseHostArgs("glimmerfeld", {"--help"}).action, HostArgs::Action::kHelp);
  EXPECT_EQ(ParseHostArgs("glimmerfeld", {"-h"}).action, HostArgs::Action::kHelp);
  // Help wins over whatever else is wrong.
  EXPECT_EQ(ParseHostArgs("glimmerfeld", {"--bogus", "--help"}).action, HostArgs::Action::kHelp);
  EXPECT_EQ(ParseHostArgs("glimmerfeld", {"--version"}).action, HostArgs::Action::kVersion);
  const HostArgs background = ParseHostArgs("glimmerfeld", {"--background"});
  EXPECT_EQ(background.action, HostArgs::Action::kBackground);
  EXPECT_EQ(background.host, Host::kOwnWindow);
  EXPECT_EQ(ParseHostArgs("glimmerfeld", {"-screensaver"}).action, HostArgs::Action::kScreensaver);
  for (const auto& [args, seconds] :
       {std::pair<std::vector<std::string>, std::uint32_t>{{"--screensaver-after", "300"}, 300},
        {{"-screensaver-after=4294967"}, 4294967}}) {
    const HostArgs resident = ParseHostArgs("glimmerfeld", args);
    EXPECT_EQ(resident.action, HostArgs::Action::kResident) << args.front();
    EXPECT_EQ(resident.idle_seconds, seconds) << args.front();
  }
  for (const char* mode :
       {"--background", "--screensaver", "--screensaver-after", "--root", "--window-id"})
    EXPECT_NE(Usage().find(mode), std::string::npos) << mode;
}

// Started as a .scr, the program speaks Windows' protocol: the first mode
// that makes sense decides, and no mode at all is the settings dialog.
TEST(HostArgs, AScrTakesWindowsFormsInEitherCaseAndIgnoresTheRest) {
  struct Case {
    std::vector<std::string> args;
    Host host;
    std::uint64_t window;
    bool settings;
  };
  const Case cases[] = {
      {{"/s"}, Host::kScreen, 0, false},
      {{"/S"}, Host::kScreen, 0, false},
      {{"-s"}, Host::kScreen, 0, false},
      {{"/p", "1442"}, Host::kHostWindow, 1442, false},
      {{"/P", "4294967295"}, Host::kHostWindow, 4294967295u, false},
      {{"/p:918"}, Host::kHostWindow, 918, false},
      {{"/c"}, Host::kOwnWindow, 0, true},
      {{"/C:65802"}, Host::kOwnWindow, 65802, true},
      {{}, Host::kOwnWindow, 0, true},
      // Unknown switches and stray words are passed over.
      {{"/a", "/s"}, Host::kScreen, 0, false},
      {{"/screen", "/p", "77"}, Host::kHostWindow, 77, false},
      {{"--window-id", "0x40000C"}, Host::kOwnWindow, 0, true},
      // A preview without a usable handle cannot be shown: as no mode.
      {{"/p"}, Host::kOwnWindow, 0, true},
      {{"/p", "0x10"}, Host::kOwnWindow, 0, true},
      {{"/p:-4"}, Host::kOwnWindow, 0, true},
      {{"/p", "0"}, Host::kOwnWindow, 0, true},
  };
  for (const auto& c : cases) {
    const std::string shown = c.args.empty() ? "(none)" : c.args.front();
    for (const char* program : {"C:\\WINDOWS\\system32\\glimmerfeld.scr", "GLIMMERFELD.SCR"}) {
      const HostArgs got = ParseHostArgs(program, c.args);
      EXPECT_EQ(got.host, c.host) << program << " " << shown;
      EXPECT_EQ(got.window, c.window) << program << " " << shown;
      EXPECT_EQ(got.settings, c.settings) << program << " " << shown;
    }
  }
}

// A key or a button ends it at once; the pointer only once it has moved more
// than 4 px along an axis from where it was first seen on its surface, the
// place it enters another surface at, or where it is after the surface moved.
TEST(EndOnInput, KeysButtonsAndMovesBeyondATremor) {
  EndOnInput key, button, pointer;
  key.KeyPressed();
  button.ButtonPressed();
  EXPECT_TRUE(key.Ended() && button.Ended());
  int a = 0, b = 0;
  pointer.PointerAt(&a, 100, 100);
  pointer.PointerAt(&a, 104, 96);
  pointer.PointerAt(&a, 96, 104);
  EXPECT_FALSE(pointer.Ended()) << "a tremor of 4 px ended it";
  // Far off on another surface (an output beside), then a tremor there.
  pointer.PointerAt(&b, 700, 300);
  pointer.PointerAt(&b, 703, 302);
  EXPECT_FALSE(pointer.Ended()) << "entering another surface ended it";
  // The window went full screen under a still pointer.
  pointer.SurfaceMoved();
  pointer.PointerAt(&b, 20, 30);
  EXPECT_FALSE(pointer.Ended()) << "the surface's move ended it";
  pointer.PointerAt(&b, 15.5, 30);
  EXPECT_TRUE(pointer.Ended()) << "4.5 px to the left did not end it";
}

}  // namespace
}  // namespace glimmer
