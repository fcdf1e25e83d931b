// A fixture for end-to-end tests: a private Xvfb, optionally a window manager
// on it, a probe looking at it, and the program (or a build of it) started
// there.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/recorded_run.h"
#include "tests/support/x11_probe.h"

namespace glimmer::testing {

inline constexpr const char* kWindowTitle = "Glimmerfeld!";

class ProgramUnderX : public ::testing::Test {
 protected:
  void TearDown() override {
    program_.reset();
    if (!record_path_.empty()) std::remove(record_path_.c_str());
  }

  // (Re)starts the X server; any earlier one, its window manager and its
  // probe go first.
  void StartServer(const std::vector<std::string>& extra = {},
                   const std::string& screen = "1280x1024x24") {
    probe_.reset();
    window_manager_.reset();
    server_.reset();
    server_ = std::make_unique<Xvfb>(extra, screen);
    probe_ = std::make_unique<XProbe>(server_->display());
  }

  // Starts openbox on the server and waits until it manages windows.
  void StartWindowManager() {
    using namespace std::chrono_literals;
    const std::string openbox = FindOnPath("openbox");
    ASSERT_FALSE(openbox.empty()) << "openbox is not installed (scripts/install-deps)";
    window_manager_ = std::make_unique<Child>(openbox, std::vector<std::string>{"--sm-disable"},
                                              Child::EnvChanges{{"DISPLAY", server_->display()}});
    const bool ready = Eventually(
        [&] { return !window_manager_->Running() || probe_->WindowManagerReady(500ms); }, 20s, 0ms);
    ASSERT_TRUE(ready && window_manager_->Running()) << window_manager_->Stderr();
  }

  // Starts `binary` with `args` on the server and waits for its window;
  // 0 (and a failure) if it never shows.
  Window Launch(const std::string& binary, const std::vector<std::string>& args = {},
                std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    StartProgram(binary, args);
    const auto w = probe_->WaitForWindow(kWindowTitle, timeout);
    if (!w) ADD_FAILURE() << "no window titled " << kWindowTitle << "; " << program_->Stderr();
    return w.value_or(0);
  }

  // Starts `binary` with `args` on the server, without waiting for anything;
  // `env` may set WAYLAND_DISPLAY, which is otherwise unset.
  void StartProgram(const std::string& binary, const std::vector<std::string>& args = {},
                    Child::EnvChanges env = {}) {
    env.insert({{"DISPLAY", server_->display()}, {"WAYLAND_DISPLAY", std::nullopt}});
    program_ = std::make_unique<Child>(binary, args, env);
  }

  // Starts the program built to write what its run delivered when it ends
  // (glimmerfeld_bench); Recorded() reads that once it has ended.
  Window LaunchRecorded(const std::string& binary) {
    record_path_ = TempFile("run");
    return Launch(binary, {"--out=" + record_path_});
  }
  // The same, without waiting for its window.
  void StartRecorded(const std::string& binary) {
    record_path_ = TempFile("run");
    StartProgram(binary, {"--out=" + record_path_});
  }
  std::optional<RecordedRun> Recorded() const { return ReadRecordedRun(record_path_); }

  template <class Pred>
  Image CaptureUntil(Window w, Pred pred) {
    return probe_->CaptureUntil(w, pred);
  }

  // Asks the window to close; the program must end with status 0 and
  // nothing on stderr.
  void CloseAndExpectCleanEnd(Window w) {
    probe_->RequestClose(w);
    EXPECT_EQ(program_->Wait(std::chrono::seconds(30)), std::optional<int>(0));
    EXPECT_EQ(program_->Stderr(), "");
  }

  // The field one and two seconds after `w` has shown: growing, every lit
  // pixel bright, a quarter of it in each quarter of the window, sprayed at
  // 500 to 1100 ticks a second (1000 are asked for; a busy machine may fall
  // short, but not by half) as its coverage tells, points spreading over the
  // outer size, 1000 x 768 pixels with the frame assumed where none is
  // reported. The figures are printed, led by `where`.
  void ExpectAFieldAtTheSprayRate(Window w, const std::string& where) {
    using Clock = std::chrono::steady_clock;
    const auto shown = Clock::now();
    auto since = [&] { return std::chrono::duration<double>(Clock::now() - shown).count(); };
    const Image first = CaptureUntil(w, [&](const Image&) { return since() >= 1.0; });
    const double t1 = since();
    const Image second = CaptureUntil(w, [&](const Image&) { return since() >= 2.0; });
    const double t2 = since();
    ASSERT_EQ(first.width, 992);
    ASSERT_EQ(second.width, 992);
    const double pixels = 992.0 * 741.0;
    const std::size_t lit1 = LitCount(first), lit2 = LitCount(second);
    EXPECT_GT(lit1, pixels * 0.02) << "no speckle field after a second";
    EXPECT_GT(lit2, lit1) << "the field does not grow";
    EXPECT_EQ(DimCount(second), 0u) << "lit pixels with a channel below 30";
    for (std::size_t q : LitPerQuarter(second))
      EXPECT_NEAR(q, lit2 / 4.0, lit2 * 0.03);
    const double rate =
        (PointsForCoverage(second, 1000.0, 768.0) - PointsForCoverage(first, 1000.0, 768.0)) /
        (t2 - t1) / 403.0;
    std::printf("%scoverage %.3f after %.2f s, %.3f after %.2f s: about %.0f spray ticks/s\n",
                where.c_str(), lit1 / pixels, t1, lit2 / pixels, t2, rate);
    RecordProperty("spray_ticks_per_second", std::to_string(rate));
    EXPECT_GT(rate, 500.0);
    EXPECT_LT(rate, 1100.0);
  }

  std::unique_ptr<Xvfb> server_;
  std::unique_ptr<Child> window_manager_;
  std::unique_ptr<XProbe> probe_;
  std::unique_ptr<Child> program_;
  std::string record_path_;
};

}  // namespace glimmer::testing
