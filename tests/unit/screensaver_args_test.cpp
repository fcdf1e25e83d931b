// The arguments that switch the program to a screensaver host's window, and
// that nothing else does.
#include "app/screensaver_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
    const HostArgs got = ParseHostArgs(c.args);
    EXPECT_EQ(got.host, c.host) << c.args.front();
    EXPECT_EQ(got.window, c.window) << c.args.front();
  }
}

TEST(HostArgs, AnythingElseLeavesTheProgramInItsOwnWindow) {
  const std::vector<std::vector<std::string>> others = {
      {},
      {"root"},
      {"--window-id"},
      {"--window-id", "0"},
      {"--window-id", "-5"},
      {"--window-id", "0x"},
      {"--window-id", "12abc"},
      {"--window-id", "99999999999999999999999"},
      {"--root=yes"},
      {"/s"},
      {"--help"},
  };
  for (const auto& args : others) {
    EXPECT_EQ(ParseHostArgs(args).host, Host::kOwnWindow)
        << (args.empty() ? "(none)" : args.back());
  }
}

}  // namespace
}  // namespace glimmer
