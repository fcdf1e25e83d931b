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

// What the Wayland compositors below share: a runtime directory of their own
// holding their socket, and their processes, the compositor itself last.
// Their constructors wait for the socket and throw std::runtime_error, with
// the end of the log, when it does not come.
class Compositor {
 public:
  Compositor(const Compositor&) = delete;
  Compositor& operator=(const Compositor&) = delete;
  const std::string& runtime_dir() const { return runtime_dir_; }
  const std::string& socket() const { return socket_; }
  // What a client is started with: WAYLAND_DISPLAY and XDG_RUNTIME_DIR, with
  // DISPLAY and SDL_VIDEODRIVER unset.
  Child::EnvChanges Environment() const;
  bool Running() { return processes_.back()->Running(); }
  // SIGSTOP stands for a compositor that shows the window nowhere: it asks
  // for no frames until SIGCONT.
  void Signal(int sig) { processes_.back()->Signal(sig); }
  // The end of what its processes have printed, for failure messages.
  std::string Log() const;

 protected:
  explicit Compositor(const std::string& name);
  void set_socket(const std::string& name) { socket_ = name; }
  // Stops its processes, the last started first, and removes the directory.
  ~Compositor();
  // Starts one of its processes with no display but the runtime directory,
  // and waits until `ready` appears in that directory.
  Child& Start(const std::string& what, const std::string& path,
               const std::vector<std::string>& args, Child::EnvChanges env, pid_t group,
               const std::string& ready);

 private:
  std::string runtime_dir_;
  std::string socket_ = "wayland-glimmer";
  std::vector<std::unique_ptr<Child>> processes_;
};

// Weston, headless, which offers no input seat, or nested as a window of an
// X server, whose pixels an XProbe can read.
class Weston : public Compositor {
 public:
  struct Nested {
    std::string x_display;  // the X server to show it on
    int width = 992;        // the output's size in device pixels
    int height = 741;
    int scale = 1;         // the output's scale
    bool kiosk = true;     // every window fills the output, undecorated
    int idle_seconds = 0;  // the output sleeps after this long without input; 0: never
  };
  // Whether weston and its headless backend are installed.
  static bool Available();
  Weston();
  explicit Weston(const Nested& nested);

 private:
  Weston(const std::vector<std::string>& args, const Child::EnvChanges& env);
};

// GNOME's compositor, headless with a virtual monitor, in a D-Bus session of
// its own. Its pixels are not readable from outside.
class Mutter : public Compositor {
 public:
  static bool Available();
  Mutter();
};

// KDE's compositor, headless on a virtual output at a display scale that may
// be fractional, with a D-Bus session bus of its own on which it offers its
// screenshots. It runs from a plain copy of its binary: the installed one
// carries a file capability, and where file capabilities are refused it
// cannot be started at all. A missing kwin_wayland is a failure to start.
class KWin : public Compositor {
 public:
  explicit KWin(double scale);
  // The session bus it serves org.kde.KWin.ScreenShot2 on.
  const std::string& bus_address() const { return bus_address_; }

 private:
  std::string bus_address_;
};

// sway, headless with wlroots' software renderer: the compositor whose
// protocols most Wayland desktops beyond GNOME and KDE share (layer shell,
// idle notification, virtual keyboards). It refuses to run as root, so it
// runs as the unprivileged user `nobody`; its clients run as the tests do
// (root reaches its socket all the same), so that the program may be one
// that runs in a chroot. Its IPC socket is in Environment() as SWAYSOCK.
class Sway : public Compositor {
 public:
  // Whether sway and setpriv are installed.
  static bool Available();
  Sway();
  Child::EnvChanges Environment() const;
  // Starts `path` with `args` on it, `env` on top of Environment().
  std::unique_ptr<Child> Launch(const std::string& path, const std::vector<std::string>& args,
                                Child::EnvChanges env = {}, const Spawn& spawn = {}) const;
  // `tool` (swaymsg, wtype, ...) run to its end on it: its status, or
  // nullopt after 30 s; `output` gets what it printed.
  std::optional<int> Run(const std::string& tool, const std::vector<std::string>& args,
                         std::string* output = nullptr) const;
  // Whether a window titled `title` is in its tree of windows.
  bool HasWindow(const std::string& title) const;

 private:
  std::string ipc_socket_;
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

}  // namespace glimmer::testing
