// The program against a real Wayland compositor: weston's headless backend,
// which offers no input seat. SDL 2.26 crashes inside SDL_Init on such a
// compositor; the program must never crash at start, whatever the drivers.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/process.h"
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

}  // namespace
}  // namespace glimmer::testing
