// A fixture for end-to-end tests: a private Xvfb, optionally a window manager
// on it, a probe looking at it, and the program (or a build of it) started
// there.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
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
    auto w = probe_->WaitForWindow(kWindowTitle, timeout);
    if (!w) {
      ADD_FAILURE() << "no window titled " << kWindowTitle << "; stderr: " << program_->Stderr();
    }
    return w.value_or(0);
  }

  // Starts `binary` with `args` on the server, without waiting for anything.
  void StartProgram(const std::string& binary, const std::vector<std::string>& args = {}) {
    program_ = std::make_unique<Child>(
        binary, args,
        Child::EnvChanges{{"DISPLAY", server_->display()}, {"WAYLAND_DISPLAY", std::nullopt}});
  }

  // Starts the program built to write what its run delivered when it ends
  // (glimmerfeld_bench); Recorded() reads that once it has ended.
  Window LaunchRecorded(const std::string& binary) {
    StartRecorded(binary);
    auto w = probe_->WaitForWindow(kWindowTitle, std::chrono::seconds(20));
    if (!w) {
      ADD_FAILURE() << "no window titled " << kWindowTitle << "; stderr: " << program_->Stderr();
    }
    return w.value_or(0);
  }
  // The same, without waiting for its window.
  void StartRecorded(const std::string& binary) {
    char tmpl[] = "/tmp/glimmer-run-XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    record_path_ = tmpl;
    StartProgram(binary, {"--out=" + record_path_});
  }
  std::optional<RecordedRun> Recorded() const { return ReadRecordedRun(record_path_); }

  template <class Pred>
  Image CaptureUntil(Window w, Pred pred) {
    return probe_->CaptureUntil(w, pred);
  }

  std::unique_ptr<Xvfb> server_;
  std::unique_ptr<Child> window_manager_;
  std::unique_ptr<XProbe> probe_;
  std::unique_ptr<Child> program_;
  std::string record_path_;
};

}  // namespace glimmer::testing
