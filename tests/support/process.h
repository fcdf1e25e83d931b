// Child processes for end-to-end tests: a private X server and the program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace glimmer::testing {

// The full path of a program on PATH, or empty when there is none.
std::string FindOnPath(const std::string& name);

// The program the conformance cells and the nested-Weston tests start:
// GLIMMERFELD_PROGRAM when set, so that they can judge a build made elsewhere
// (on another Debian release, in a chroot: scripts/chroot-cells), else
// `built`, the one this build made.
std::string ProgramUnderTest(const std::string& built);

class Child {
 public:
  using EnvChanges = std::map<std::string, std::optional<std::string>>;  // nullopt unsets
  // Starts `path` with `args`; its stderr goes to a file read by Stderr().
  Child(const std::string& path, const std::vector<std::string>& args, const EnvChanges& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit status, or 128 + the signal that ended it; nullopt on time-out.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();
  // Whether it is stopped (by SIGSTOP) rather than running or waiting.
  bool Stopped() const;
  void Signal(int sig);
  std::string Stderr() const;
  pid_t pid() const { return pid_; }
  // Whether the child dumped core (only known once it has ended).
  bool dumped_core() const { return core_; }

 private:
  pid_t pid_ = -1;
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
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;
  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }
  // Kills the server outright, as a crash would.
  void Kill();

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// A private Wayland compositor (weston), with its own runtime directory and
// socket: headless, which offers no input seat, or nested as a window of an
// X server, whose pixels an XProbe can read.
class Weston {
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
  // Starts it and waits for its socket; throws std::runtime_error on failure.
  Weston();
  explicit Weston(const Nested& nested);
  ~Weston();
  Weston(const Weston&) = delete;
  Weston& operator=(const Weston&) = delete;
  const std::string& runtime_dir() const { return runtime_dir_; }
  const std::string& socket() const { return socket_; }
  bool Running();
  // SIGSTOP stands for a compositor that shows the window nowhere: it asks
  // for no frames until SIGCONT.
  void Signal(int sig);

 private:
  void Start(const std::vector<std::string>& args, const std::string& x_display);
  void Stop();
  pid_t pid_ = -1;
  std::string runtime_dir_;
  std::string socket_ = "wayland-glimmer";
};

// GNOME's compositor, headless with a virtual monitor, in a D-Bus session of
// its own. Its pixels are not readable from outside.
class Mutter {
 public:
  static bool Available();
  // Starts it and waits for its socket; throws std::runtime_error on failure.
  Mutter();
  ~Mutter();
  Mutter(const Mutter&) = delete;
  Mutter& operator=(const Mutter&) = delete;
  const std::string& runtime_dir() const { return runtime_dir_; }
  const std::string& socket() const { return socket_; }

 private:
  void Stop();
  pid_t pid_ = -1;
  std::string runtime_dir_;
  std::string socket_ = "wayland-glimmer";
};

// KDE's compositor, headless on a virtual output at a display scale that may
// be fractional, with a D-Bus session bus of its own on which it offers its
// screenshots. It runs from a plain copy of its binary: the installed one
// carries a file capability, and where file capabilities are refused it
// cannot be started at all.
class KWin {
 public:
  // Starts it and waits for its socket; throws std::runtime_error, with the
  // end of its log, on failure. A missing kwin_wayland is such a failure.
  explicit KWin(double scale);
  ~KWin();
  KWin(const KWin&) = delete;
  KWin& operator=(const KWin&) = delete;
  const std::string& runtime_dir() const { return runtime_dir_; }
  const std::string& socket() const { return socket_; }
  // The session bus it serves org.kde.KWin.ScreenShot2 on.
  const std::string& bus_address() const { return bus_address_; }
  bool Running();
  // What it has printed so far, for failure messages.
  std::string Log() const;

 private:
  void Stop();
  pid_t bus_pid_ = -1;
  pid_t pid_ = -1;
  std::string runtime_dir_;
  std::string socket_ = "wayland-glimmer";
  std::string bus_address_;
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
