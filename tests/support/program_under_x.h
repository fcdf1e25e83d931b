// A fixture for end-to-end tests: a private Xvfb, a probe looking at it, and
// the program (or a build of it) started there.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/x11_probe.h"

namespace glimmer::testing {

inline constexpr const char* kWindowTitle = "Glimmerfeld!";

class ProgramUnderX : public ::testing::Test {
 protected:
  // (Re)starts the X server; any earlier one and its probe go first.
  void StartServer(const std::vector<std::string>& extra = {},
                   const std::string& screen = "1280x1024x24") {
    probe_.reset();
    server_.reset();
    server_ = std::make_unique<Xvfb>(extra, screen);
    probe_ = std::make_unique<XProbe>(server_->display());
  }

  // Starts `binary` with `args` on the server and waits for its window;
  // 0 (and a failure) if it never shows.
  Window Launch(const std::string& binary, const std::vector<std::string>& args = {},
                std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    program_ = std::make_unique<Child>(
        binary, args,
        Child::EnvChanges{{"DISPLAY", server_->display()}, {"WAYLAND_DISPLAY", std::nullopt}});
    auto w = probe_->WaitForWindow(kWindowTitle, timeout);
    if (!w) {
      ADD_FAILURE() << "no window titled " << kWindowTitle << "; stderr: " << program_->Stderr();
    }
    return w.value_or(0);
  }

  std::unique_ptr<Xvfb> server_;
  std::unique_ptr<XProbe> probe_;
  std::unique_ptr<Child> program_;
};

}  // namespace glimmer::testing
