// The SDL runtime itself on a private X server: the pixels each present puts
// in the window, checked against the window system's own view, which the
// program's tests see only through the picture as a whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/field_window.h"
#include "runtime/desktop/linux/linux_system.h"
#include "runtime/desktop/sdl_runtime.h"
#include "tests/support/ball_finder.h"
#include "tests/support/ball_offsets.h"
#include "tests/support/program_under_x.h"
#include "tests/support/x11_probe.h"

namespace glimmer::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kTitle = "SdlRuntime under test";
// The program's start size: a client area of 992 x 741 pixels at 96 dpi and
// the frame assumed where the window system reports none; a title of its own.
WindowSettings StartSettings() {
  WindowSettings s = WindowDescription::Window();
  s.title = kTitle;
  return s;
}

class SdlRuntimeUnderX : public ProgramUnderX {
 protected:
  void SetUp() override { StartServer(); }
  void TearDown() override {
    runtime_.reset();
    ProgramUnderX::TearDown();
  }

  // Opens and shows a window on the private server; 0 (and a failure) if the
  // probe never sees it.
  Window OpenAndShow() {
    setenv("DISPLAY", server_->display().c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    runtime_ = std::make_unique<SdlRuntime>();
    runtime_->Open(StartSettings());
    runtime_->CreateBall(0.0f, 0.0f, WindowDescription::kBallSize);  // 33 pixels
    runtime_->Show();
    // The runtime makes every refused X request fatal, process-wide; a new
    // probe puts back the probe's own lenient handler.
    probe_ = std::make_unique<XProbe>(server_->display());
    const auto w = probe_->WaitForWindow(kTitle, 20s);
    if (!w) ADD_FAILURE() << "the window never showed";
    return w.value_or(0);
  }

  // Fills every other pixel of the window with a colour of its own, so that
  // the ball crosses lit and black pixels alike.
  void PlotAField() {
    for (int y = 0; y < runtime_->client_height(); ++y) {
      for (int x = (y & 1); x < runtime_->client_width(); x += 2) {
        const std::uint32_t rgb = Field(x, y);  // a Colour has red in its low byte
        runtime_->PlotPoint(x * 15.0f + 7.0f, y * 15.0f + 7.0f,
                            rgb >> 16 | (rgb & 0xff00u) | (rgb & 0xffu) << 16);
      }
    }
  }
  // What PlotAField put at (x, y), as 0x00RRGGBB, the way the probe reads it.
  static std::uint32_t Field(int x, int y) {
    if ((x + y) & 1) return 0;
    return static_cast<std::uint32_t>(40 + x % 200) << 16 |
           static_cast<std::uint32_t>(40 + y % 200) << 8 | 90u;
  }
  // Whether a capture shows the ball with its box at (x, y).
  static auto BallAt(int x, int y) {
    return [x, y](const Image& img) {
      return FindBall(img, BallOffsets(33, 1), 33) == std::make_optional(std::make_pair(x, y));
    };
  }
  // The pixels of `img` that differ from the field, leaving out a ball at
  // (rx, ry).
  static std::size_t OffTheField(const Image& img, int rx, int ry) {
    std::vector<bool> in_ball(img.pixels.size(), false);
    for (auto [dx, dy] : BallOffsets(33, 1))
      in_ball[static_cast<std::size_t>((ry + dy) * img.width + rx + dx)] = true;
    std::size_t wrong = 0;
    for (int y = 0; y < img.height; ++y) {
      for (int x = 0; x < img.width; ++x) {
        const std::size_t i = static_cast<std::size_t>(y * img.width + x);
        if (!in_ball[i]) wrong += img.pixels[i] != Field(x, y) ? 1 : 0;
      }
    }
    return wrong;
  }

  std::unique_ptr<SdlRuntime> runtime_;
};

// The ball is drawn over the window's copy of the canvas, never into the
// canvas, wherever it goes: once it has moved on, the window shows the field
// alone everywhere it has been.
TEST_F(SdlRuntimeUnderX, PresentLeavesTheCanvasAsItWas) {
  const Window w = OpenAndShow();
  ASSERT_NE(w, 0u);
  PlotAField();
  for (Single at : {0.0f, 1500.0f, 1507.0f, 6000.0f, 14000.0f}) {
    runtime_->SetBallLeft(at);
    runtime_->SetBallTop(at * 0.5f);
    runtime_->Present();
  }
  runtime_->SetBallLeft(1500.0f);  // the ball at (100, 100)
  runtime_->SetBallTop(1500.0f);
  runtime_->Present();
  const Image img = CaptureUntil(w, BallAt(100, 100));
  ASSERT_TRUE(BallAt(100, 100)(img));
  EXPECT_EQ(OffTheField(img, 100, 100), 0u) << "pixels of the canvas changed by presenting";
}

// After the ball moves, the window shows the canvas everywhere but under
// the ball's new outline: nothing of the old one is left behind.
TEST_F(SdlRuntimeUnderX, MovingTheBallPutsBackTheCanvasUnderItsOldOutline) {
  const Window w = OpenAndShow();
  ASSERT_NE(w, 0u);
  PlotAField();
  const auto ball = BallOffsets(33, 1);
  runtime_->SetBallLeft(1500.0f);
  runtime_->SetBallTop(1500.0f);
  runtime_->Present();
  ASSERT_TRUE(BallAt(100, 100)(CaptureUntil(w, BallAt(100, 100))));
  runtime_->SetBallLeft(1800.0f);  // 20 pixels on: the outlines overlap
  runtime_->SetBallTop(1650.0f);
  runtime_->Present();
  const Image img = CaptureUntil(w, BallAt(120, 110));
  ASSERT_TRUE(BallAt(120, 110)(img)) << "the ball did not move";
  std::size_t checked_under_old = 0;
  for (auto [dx, dy] : ball) {
    const int x = 100 + dx, y = 100 + dy;
    if (std::find(ball.begin(), ball.end(), std::make_pair(x - 120, y - 110)) != ball.end())
      continue;
    ++checked_under_old;
    EXPECT_EQ(img.at(x, y), Field(x, y)) << "at (" << x << ", " << y << ")";
    if (HasFailure()) break;
  }
  EXPECT_GT(checked_under_old, 50u);
  EXPECT_EQ(OffTheField(img, 120, 110), 0u) << "pixels outside the ball differ from the canvas";
}

// A frame handed to the server is not written into until the server has
// read it: with the server stopped just before the put, points plotted after
// it stay out of what the window then shows.
TEST_F(SdlRuntimeUnderX, PlotsAfterAPutStayOutOfTheFrameTheServerHasYetToRead) {
  const Window w = OpenAndShow();
  ASSERT_NE(w, 0u);
  runtime_->SetBallLeft(1500.0f);
  runtime_->SetBallTop(1500.0f);
  runtime_->Present();
  ASSERT_TRUE(BallAt(100, 100)(CaptureUntil(w, BallAt(100, 100))));
  const pid_t server = server_->pid();
  const auto stopped = [server] {
    std::ifstream stat("/proc/" + std::to_string(server) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto paren = text.rfind(") ");
    return paren != std::string::npos && text[paren + 2] == 'T';
  };
  ASSERT_EQ(kill(server, SIGSTOP), 0);
  const bool held = Eventually(stopped, 20s, 2ms);
  runtime_->SetBallLeft(1800.0f);
  runtime_->SetBallTop(1650.0f);
  if (held) {
    runtime_->Present();
    PlotAField();
  }
  kill(server, SIGCONT);
  ASSERT_TRUE(held) << "the server never stopped";
  const Image img = CaptureUntil(w, BallAt(120, 110));
  ASSERT_TRUE(BallAt(120, 110)(img));
  std::vector<bool> in_ball(img.pixels.size(), false);
  for (auto [dx, dy] : BallOffsets(33, 1))
    in_ball[static_cast<std::size_t>((110 + dy) * img.width + 120 + dx)] = true;
  std::size_t lit = 0;
  for (std::size_t i = 0; i < img.pixels.size(); ++i)
    lit += !in_ball[i] && img.pixels[i] != 0 ? 1 : 0;
  EXPECT_EQ(lit, 0u) << "points plotted after the put were shown with it";
}

// A resident screensaver takes back its window's end by the user's input and
// waits again; a SIGTERM that came before that must still end the program.
TEST(EndRequests, TakingBackAnEndByInputLeavesASignalsStanding) {
  namespace linux_desktop = backend::linux_desktop;
  linux_desktop::PrepareWaylandOnly();
  linux_desktop::StartupDone();
  linux_desktop::EndAsInput();
  EXPECT_TRUE(linux_desktop::SignalledToEnd());
  ASSERT_EQ(raise(SIGTERM), 0);
  EXPECT_TRUE(linux_desktop::TakeEndedByInput());
  EXPECT_TRUE(linux_desktop::SignalledToEnd()) << "the SIGTERM went with the input's end";
  EXPECT_FALSE(linux_desktop::TakeEndedByInput());
}

// The screensaver's window on each display is a process of its own: the
// first to end ends the others, and the whole ends its way. Each display's
// window here waits for its end and then does what the case says.
TEST(EndRequests, TheFirstDisplayToEndEndsEveryOtherItsWay) {
  namespace linux_desktop = backend::linux_desktop;
  enum class How { kWait, kInput, kSignal, kError, kKilled };
  struct Case {
    const char* name;
    How primary, second;
    int status;
    bool by_input;
  };
  const Case cases[] = {
      {"the second display's input", How::kWait, How::kInput, 0, true},
      {"the primary's input", How::kInput, How::kWait, 0, true},
      {"a signal to the primary", How::kSignal, How::kWait, 0, false},
      {"the second display's error", How::kWait, How::kError, 1, false},
      {"the second display's process killed", How::kWait, How::kKilled, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    linux_desktop::PrepareWaylandOnly();
    linux_desktop::StartupDone();
    const auto deadline = Clock::now() + 30s;
    const int status = linux_desktop::CoverDisplays(3, [&](int display) {
      switch (display == 0 ? c.primary : (display == 1 ? c.second : How::kWait)) {
        case How::kWait:
          while (!linux_desktop::SignalledToEnd() && Clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
          return linux_desktop::SignalledToEnd() ? 0 : 7;
        case How::kInput:
          linux_desktop::EndAsInput();
          return 0;
        case How::kSignal:
          raise(SIGTERM);
          return 0;
        case How::kError:
          return 1;
        case How::kKilled:
          raise(SIGKILL);
      }
      return 7;
    });
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(linux_desktop::TakeEndedByInput(), c.by_input);
    EXPECT_LT(Clock::now(), deadline) << "the other displays did not hear of the end";
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a display's process left behind";
  }
}

}  // namespace
}  // namespace glimmer::testing
