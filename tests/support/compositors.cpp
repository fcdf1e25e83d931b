#include "tests/support/compositors.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace glimmer::testing {
namespace {

// The full path of `name`, which a compositor needs; std::runtime_error when
// it is not installed.
std::string Installed(const std::string& name) {
  const std::string path = FindOnPath(name);
  if (path.empty())
    throw std::runtime_error(name + " is not installed (scripts/install-deps test)");
  return path;
}

}  // namespace

Compositor::Compositor(const std::string& name) {
  std::string tmpl = "/tmp/glimmer-" + name + "-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  runtime_dir_ = tmpl;  // mkdtemp makes it 0700, as Wayland requires
}

Compositor::~Compositor() {
  for (auto p = processes_.rbegin(); p != processes_.rend(); ++p)
    (*p)->Stop();
  std::error_code ec;
  std::filesystem::remove_all(runtime_dir_, ec);
}

Child& Compositor::Start(const std::string& what, const std::string& path,
                         const std::vector<std::string>& args, Child::EnvChanges env, pid_t group,
                         const std::string& ready) {
  env.insert({{"XDG_RUNTIME_DIR", runtime_dir_},
              {"WAYLAND_DISPLAY", std::nullopt},
              {"WAYLAND_SOCKET", std::nullopt},
              {"DISPLAY", std::nullopt}});
  Child& child = *processes_.emplace_back(
      std::make_unique<Child>(path, args, env, Spawn{.quiet = true, .group = group}));
  const std::string ready_path = runtime_dir_ + "/" + ready;
  const auto ready_now = [&] { return access(ready_path.c_str(), F_OK) == 0; };
  // The destructor, run as the constructor throws, stops what has started.
  Eventually([&] { return ready_now() || !child.Running(); }, kDisplayStartTimeout,
             std::chrono::milliseconds(10));
  if (!ready_now()) throw std::runtime_error(what + " did not start: " + Log());
  return child;
}

Child::EnvChanges Compositor::Environment() const {
  return {{"DISPLAY", std::nullopt},
          {"WAYLAND_DISPLAY", socket_},
          {"XDG_RUNTIME_DIR", runtime_dir_},
          {"SDL_VIDEODRIVER", std::nullopt}};
}

std::unique_ptr<Child> Compositor::Launch(const std::string& path,
                                          const std::vector<std::string>& args,
                                          Child::EnvChanges env, const Spawn& spawn) const {
  env.merge(Environment());
  return std::make_unique<Child>(path, args, env, spawn);
}

std::string Compositor::Log() const {
  std::string text;
  for (const auto& p : processes_)
    text += p->Stderr();
  // The end says why it stopped; its start is the same every time.
  constexpr std::size_t kTail = 3000;
  if (text.size() > kTail) text = "..." + text.substr(text.size() - kTail);
  return text;
}

Weston::Weston()
    : Weston(std::vector<std::string>{"--backend=headless-backend.so", "--idle-time=0"}, {}) {}

Weston::Weston(const std::string& x_display, int scale)
    : Weston({"--backend=x11-backend.so", "--use-pixman", "--width=992", "--height=741",
              "--scale=" + std::to_string(scale), "--idle-time=0", "--shell=kiosk-shell.so"},
             {{"DISPLAY", x_display}}) {}

Weston::Weston(const std::vector<std::string>& args, const Child::EnvChanges& env)
    : Compositor("weston") {
  std::vector<std::string> all{"--no-config", "--socket=" + socket()};
  all.insert(all.end(), args.begin(), args.end());
  // In our process group: weston takes its helper clients down with it.
  Start("weston", Installed("weston"), all, env, -1, socket());
}

Mutter::Mutter(int monitors) : Compositor("mutter") {
  // Its own process group, so that the session bus goes with it; the bus's
  // address is written down for clients that need it.
  const std::string address = runtime_dir() + "/bus-address";
  std::vector<std::string> args{
      "--",         "sh",
      "-c",         "printf %s \"$DBUS_SESSION_BUS_ADDRESS\" >\"$0\" && exec \"$@\"",
      address,      Installed("mutter"),
      "--headless", "--wayland",
      "--no-x11",   "--wayland-display=" + socket()};
  for (int i = 0; i < monitors; ++i) {
    args.push_back("--virtual-monitor");
    args.push_back("1280x1024");
  }
  Start("mutter", Installed("dbus-run-session"), args, {{"MUTTER_DEBUG_RESET_IDLETIME", "1"}}, 0,
        socket());
  std::ifstream(address) >> bus_address_;
}

KWin::KWin(double scale, int outputs) : Compositor("kwin") {
  const std::string installed = Installed("kwin_wayland");
  const std::string dbus = Installed("dbus-daemon");
  // A copy made by us carries no file capability.
  const std::string binary = runtime_dir() + "/kwin_wayland";
  std::error_code ec;
  std::filesystem::copy_file(installed, binary, ec);
  if (ec) throw std::runtime_error("cannot copy " + installed + ": " + ec.message());
  bus_address_ = "unix:path=" + runtime_dir() + "/bus";
  char scale_arg[32];
  std::snprintf(scale_arg, sizeof scale_arg, "%g", scale);

  // The bus first, in a process group of its own that KWin joins, so that
  // anything either starts goes with them.
  const pid_t bus =
      Start("dbus-daemon", dbus,
            {"--session", "--nofork", "--nopidfile", "--address=" + bus_address_}, {}, 0, "bus")
          .pid();
  Child::EnvChanges env{{"DBUS_SESSION_BUS_ADDRESS", bus_address_},
                        // No display server for Qt's own windows: KWin is the display server.
                        {"QT_QPA_PLATFORM", "offscreen"},
                        // Its screenshots are otherwise for the programs that a desktop file
                        // grants them to.
                        {"KWIN_SCREENSHOT_NO_PERMISSION_CHECKS", "1"},
                        // Its fake input, likewise (the tests' keys).
                        {"KWIN_WAYLAND_NO_PERMISSION_CHECKS", "1"}};
  // What it writes of its configuration stays in here.
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
    env[name] = runtime_dir();
  Start("kwin_wayland", binary,
        {"--virtual", "--output-count", std::to_string(outputs), "--width", "1920", "--height",
         "1200", "--scale", scale_arg, "--socket", socket(), "--no-lockscreen"},
        env, bus, socket());
}

Sway::Sway(int outputs)
    : Sway("sway", {{"WLR_BACKENDS", "headless"},
                    {"WLR_HEADLESS_OUTPUTS", std::to_string(outputs)},
                    {"WLR_LIBINPUT_NO_DEVICES", "1"}}) {}

Sway::Sway(const Sway& host, int outputs)
    : Sway("nested sway", {{"WLR_BACKENDS", "wayland"},
                           {"WLR_WL_OUTPUTS", std::to_string(outputs)},
                           {"WAYLAND_DISPLAY", host.runtime_dir() + "/" + host.socket()}}) {}

Sway::Sway(const std::string& name, Child::EnvChanges backend) : Compositor("sway") {
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr || chown(runtime_dir().c_str(), nobody->pw_uid, nobody->pw_gid) != 0)
    throw std::runtime_error("cannot hand " + runtime_dir() + " to nobody");
  // Once it runs its config's exec lines it serves clients: the first of
  // them says where.
  const std::string config = runtime_dir() + "/config";
  const std::string say = runtime_dir() + "/say-sockets";
  std::ofstream(say) << "printf '%s\\n%s\\n' \"$WAYLAND_DISPLAY\" \"$SWAYSOCK\" >\"$1.part\"\n"
                        "mv \"$1.part\" \"$1\"\n";
  std::ofstream(config) << "exec sh " << say << " " << runtime_dir() << "/sockets\n";
  // Its own process group, so that what its config starts goes with it.
  backend.insert({{"WLR_RENDERER", "pixman"}, {"HOME", runtime_dir()}});
  Compositor::Start(name, Installed("setpriv"), AsNobody({Installed("sway"), "--config", config}),
                    backend, 0, "sockets");
  std::ifstream sockets(runtime_dir() + "/sockets");
  std::string wayland;
  std::getline(sockets, wayland);
  std::getline(sockets, ipc_socket_);
  set_socket(wayland);
}

Child::EnvChanges Sway::Environment() const {
  Child::EnvChanges env = Compositor::Environment();
  env["SWAYSOCK"] = ipc_socket_;
  env["HOME"] = runtime_dir();
  return env;
}

std::optional<int> Sway::Run(const std::string& tool, const std::vector<std::string>& args,
                             std::string* output) const {
  const auto child = Launch(Installed(tool), args, {}, Spawn{.quiet = true});
  const auto status = child->Wait(std::chrono::seconds(30));
  if (output != nullptr) *output = child->Stderr();
  return status;
}

bool Sway::HasWindow(const std::string& title) const {
  std::string tree;
  return Run("swaymsg", {"-t", "get_tree"}, &tree) == 0 &&
         tree.find("\"name\": \"" + title + "\"") != std::string::npos;
}

}  // namespace glimmer::testing
