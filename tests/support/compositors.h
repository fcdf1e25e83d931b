// Wayland compositors for end-to-end tests, each run privately: Weston
// (headless or nested in an X server), GNOME's mutter, KDE's KWin and sway.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace glimmer::testing {

// What the Wayland compositors below share: a runtime directory of their own
// holding their socket, and their processes, the compositor itself last.
// Their constructors wait for the socket and throw std::runtime_error, with
// the end of the log, when it does not come, or naming what is not installed.
class Compositor {
 public:
  Compositor(const Compositor&) = delete;
  Compositor& operator=(const Compositor&) = delete;
  const std::string& runtime_dir() const { return runtime_dir_; }
  const std::string& socket() const { return socket_; }
  // What a client is started with: WAYLAND_DISPLAY and XDG_RUNTIME_DIR, with
  // DISPLAY and SDL_VIDEODRIVER unset.
  virtual Child::EnvChanges Environment() const;
  // Starts `path` with `args` on it, `env` on top of Environment().
  std::unique_ptr<Child> Launch(const std::string& path, const std::vector<std::string>& args,
                                Child::EnvChanges env = {}, const Spawn& spawn = {}) const;
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

// Weston, headless (no input seat, no pixels to read), or nested as a window of an
// X server, whose pixels an XProbe can read.
class Weston : public Compositor {
 public:
  Weston();
  // Nested in the X server `x_display`: an output of 992 x 741 device pixels
  // at `scale`, never idle, in the kiosk shell, which gives every window the
  // whole output, undecorated.
  Weston(const std::string& x_display, int scale);

 private:
  Weston(const std::vector<std::string>& args, const Child::EnvChanges& env);
};

// GNOME's compositor, headless with virtual monitors of 1280x1024 side by
// side, in a D-Bus session of its own, on which its idle monitor takes
// ResetIdletime (the user's return). Its pixels are not readable from outside.
class Mutter : public Compositor {
 public:
  explicit Mutter(int monitors = 1);
  const std::string& bus_address() const { return bus_address_; }

 private:
  std::string bus_address_;
};

// KDE's compositor, headless on a virtual output at a display scale that may
// be fractional, with a D-Bus session bus of its own on which it offers its
// screenshots. It runs from a plain copy of its binary: the installed one
// carries a file capability, and where file capabilities are refused it
// cannot be started at all.
class KWin : public Compositor {
 public:
  // With `outputs` virtual outputs of 1920 x 1200 logical pixels, side by side.
  explicit KWin(double scale, int outputs = 1);
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
  // With `outputs` headless outputs, HEADLESS-1 and on.
  explicit Sway(int outputs = 1);
  // Nested in `host`, with `outputs` outputs, WL-1 and on, each a window of
  // the host's titled "wlroots - WL-N": closing that window unplugs it, which
  // a headless output cannot be.
  Sway(const Sway& host, int outputs);
  Child::EnvChanges Environment() const override;
  // `tool` (swaymsg, wtype, ...) run to its end on it: its status, or
  // nullopt after 30 s; `output` gets what it printed.
  std::optional<int> Run(const std::string& tool, const std::vector<std::string>& args,
                         std::string* output = nullptr) const;
  // Whether a window titled `title` is in its tree of windows.
  bool HasWindow(const std::string& title) const;

 private:
  Sway(const std::string& name, Child::EnvChanges backend);
  std::string ipc_socket_;
};

}  // namespace glimmer::testing
