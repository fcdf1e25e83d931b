// Child processes for end-to-end tests: the program and the display servers
// it is run on, private X servers and Wayland compositors.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace glimmer::testing {

// The full path of a program on PATH, or empty when there is none.
std::string FindOnPath(const std::string& name);

// A new empty file, /tmp/glimmer-NAME-XXXXXX, for the caller to remove.
std::string TempFile(const std::string& name);

// setpriv's arguments that run `command` as the user nobody, in no group:
// for the programs that refuse to run as root.
std::vector<std::string> AsNobody(const std::vector<std::string>& command);

// Waits until `done` holds or `timeout` passes, looking every `every`;
// whether it held.
template <class Pred>
bool Eventually(Pred done, std::chrono::nanoseconds timeout,
                std::chrono::nanoseconds every = std::chrono::milliseconds(50)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(every);
  }
  return true;
}

// Watches `holds` for `duration`, every `every`; false as soon as it fails.
template <class Pred>
bool HoldsFor(Pred holds, std::chrono::nanoseconds duration,
              std::chrono::nanoseconds every = std::chrono::milliseconds(50)) {
  return !Eventually([&] { return !holds(); }, duration, every);
}

// The program the conformance cells and the nested-Weston tests start:
// GLIMMERFELD_PROGRAM when set, so that they can judge a build made elsewhere
// (on another Debian release, in a chroot: scripts/chroot-cells), else
// `built`, the one this build made.
std::string ProgramUnderTest(const std::string& built);

// How a child is started beyond its command line and environment.
struct Spawn {
  bool quiet = false;  // its stdout goes with its stderr, not into the test's output
  // Its process group: -1 the test's, 0 one it leads (Stop() ends the whole
  // group, whatever it has started), or that of the leader with this pid.
  pid_t group = -1;
};

class Child {
 public:
  using EnvChanges = std::map<std::string, std::optional<std::string>>;  // nullopt unsets
  // Starts `path` with `args`; its stderr goes to a file read by Stderr().
  Child(const std::string& path, const std::vector<std::string>& args, const EnvChanges& env = {},
        const Spawn& spawn = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit status, or 128 + the signal that ended it; nullopt on time-out.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();
  // Whether it is stopped (by SIGSTOP) rather than running or waiting.
  bool Stopped() const;
  void Signal(int sig);
  // SIGTERM, then SIGKILL if it lingers past `grace`, and reaped.
  void Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));
  std::string Stderr() const;
  pid_t pid() const { return pid_; }
  // Whether the child dumped core (only known once it has ended).
  bool dumped_core() const { return core_; }

 private:
  pid_t pid_ = -1;
  bool leads_group_ = false;
  std::optional<int> status_;
  bool core_ = false;
  std::string stderr_path_;
};

// How long a display server may take to accept clients, on a busy machine.
inline constexpr auto kDisplayStartTimeout = std::chrono::seconds(30);

// A private Xvfb on a display number of its own choosing. The scripts and
// benchmarks start theirs through this too (xprobe xvfb).
class Xvfb {
 public:
  explicit Xvfb(const std::vector<std::string>& extra_args = {},
                const std::string& screen = "1280x1024x24");
  const std::string& display() const { return display_; }
  pid_t pid() const { return server_ ? server_->pid() : -1; }
  // Kills the server outright, as a crash would.
  void Kill() { server_.reset(); }

 private:
  std::unique_ptr<Child> server_;
  std::string display_;
};

// A display server that accepts connections and never says a word, as one
// that has hung would: a listening Unix socket where X11 or Wayland clients
// look for their server.
class SilentDisplay {
 public:
  enum class Kind { kX11, kWayland };
  // Listens on a free X display number, or as a Wayland socket in a runtime
  // directory of its own; throws std::runtime_error on failure.
  explicit SilentDisplay(Kind kind);
  ~SilentDisplay();
  SilentDisplay(const SilentDisplay&) = delete;
  SilentDisplay& operator=(const SilentDisplay&) = delete;
  // What a client is started with: DISPLAY, or WAYLAND_DISPLAY and
  // XDG_RUNTIME_DIR, the other display unset.
  Child::EnvChanges Environment() const;
  // ":N" or the Wayland socket's name, as the program names it.
  const std::string& name() const { return name_; }
  // Waits until a client has connected (and is left waiting for an answer).
  bool WaitForClient(std::chrono::milliseconds timeout);

 private:
  Kind kind_;
  int fd_ = -1;
  std::vector<int> clients_;
  std::string path_;
  std::string runtime_dir_;
  std::string name_;
};

// Shared libraries of OpenGL or Mesa mapped into a process (libEGL, libGL,
// libGLX, libglapi, Mesa's drivers, libLLVM), by file name.
std::vector<std::string> GlLibrariesMapped(pid_t pid);

// Resident memory of a process, in KiB (VmRSS), and how many files it holds
// open; 0 once it is gone.
long ResidentKib(pid_t pid);
int OpenFds(pid_t pid);

}  // namespace glimmer::testing
