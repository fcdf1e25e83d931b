#include "tests/support/process.h"

#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace glimmer::testing {

Child::Child(const std::string& path, const std::vector<std::string>& args, const EnvChanges& env,
             const Spawn& spawn)
    : leads_group_(spawn.group == 0) {
  char tmpl[] = "/tmp/glimmer-stderr-XXXXXX";
  const int fd = mkstemp(tmpl);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  stderr_path_ = tmpl;
  std::vector<std::string> storage{path};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : storage)
    argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (spawn.group >= 0) setpgid(0, spawn.group);
    for (const auto& [name, value] : env) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    if (spawn.quiet) dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  // Here too, so that the group is there before anything is signalled.
  if (spawn.group >= 0) setpgid(pid_, leads_group_ ? pid_ : spawn.group);
  close(fd);
}

Child::~Child() {
  if (Running()) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(10));
  }
  if (!stderr_path_.empty()) unlink(stderr_path_.c_str());
}

std::optional<int> Child::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_) {
    int raw = 0;
    const pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      core_ = WIFSIGNALED(raw) && WCOREDUMP(raw);
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      break;
    }
    if (r < 0 || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return status_;
}

bool Child::Running() {
  return pid_ > 0 && !Wait(std::chrono::milliseconds(0));
}

bool Child::Stopped() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string stat;
  std::getline(in, stat);
  // pid (comm) state ...; comm may hold spaces, so look after its ')'.
  const auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'T';
}

void Child::Signal(int sig) {
  if (Running()) kill(pid_, sig);
}

void Child::Stop(std::chrono::milliseconds grace) {
  // A group is signalled, and waited for, while any of it is left: what its
  // leader started may outlive it.
  const pid_t target = leads_group_ ? -pid_ : pid_;
  const auto gone = [&] { return !Running() && (!leads_group_ || kill(target, 0) != 0); };
  if (gone()) return;
  kill(target, SIGCONT);  // a stopped one would never see the SIGTERM
  kill(target, SIGTERM);
  if (Eventually(gone, grace, std::chrono::milliseconds(5))) return;
  kill(target, SIGKILL);
  Wait(grace);
}

std::string Child::Stderr() const {
  std::ifstream in(stderr_path_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::string ProgramUnderTest(const std::string& built) {
  const char* program = std::getenv("GLIMMERFELD_PROGRAM");
  return program != nullptr && *program != '\0' ? program : built;
}

namespace {

// How long a display server may take to accept clients, on a busy machine.
constexpr auto kStartTimeout = std::chrono::seconds(30);

// Weston's headless backend, under /usr/lib/<triplet>/libweston-<major>/.
bool HasHeadlessBackend() {
  namespace fs = std::filesystem;
  std::vector<fs::path> dirs{"/usr/lib", "/usr/lib64"};
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/usr/lib", ec)) {
    if (e.path().filename().string().find("-linux-") != std::string::npos) dirs.push_back(e.path());
  }
  for (const auto& dir : dirs) {
    for (const auto& e : fs::directory_iterator(dir, ec)) {
      if (e.path().filename().string().rfind("libweston-", 0) == 0 &&
          fs::exists(e.path() / "headless-backend.so", ec)) {
        return true;
      }
    }
  }
  return false;
}

std::vector<std::string> NestedArgs(const Weston::Nested& nested) {
  std::vector<std::string> args{"--backend=x11-backend.so",
                                "--use-pixman",
                                "--width=" + std::to_string(nested.width),
                                "--height=" + std::to_string(nested.height),
                                "--scale=" + std::to_string(nested.scale),
                                "--idle-time=" + std::to_string(nested.idle_seconds)};
  if (nested.kiosk) args.push_back("--shell=kiosk-shell.so");
  return args;
}

}  // namespace

Xvfb::Xvfb(const std::vector<std::string>& extra_args, const std::string& screen) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> args{
      "-displayfd", std::to_string(fds[1]), "-screen", "0", screen, "-nolisten", "tcp"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  server_ =
      std::make_unique<Child>(FindOnPath("Xvfb"), args, Child::EnvChanges{}, Spawn{.quiet = true});
  close(fds[1]);
  // Xvfb writes its display number once it accepts connections.
  std::string number;
  pollfd pfd{fds[0], POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    if (poll(&pfd, 1, 100) > 0) {
      char buf[32];
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      number.append(buf, static_cast<std::size_t>(n));
    }
  }
  close(fds[0]);
  if (number.find('\n') == std::string::npos)
    throw std::runtime_error("Xvfb did not start: " + server_->Stderr());
  display_ = ":" + number.substr(0, number.find('\n'));
}

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
  Eventually([&] { return ready_now() || !child.Running(); }, kStartTimeout,
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

std::string Compositor::Log() const {
  std::string text;
  for (const auto& p : processes_)
    text += p->Stderr();
  // The end says why it stopped; its start is the same every time.
  constexpr std::size_t kTail = 3000;
  if (text.size() > kTail) text = "..." + text.substr(text.size() - kTail);
  return text;
}

bool Weston::Available() {
  return !FindOnPath("weston").empty() && HasHeadlessBackend();
}

Weston::Weston() : Weston({"--backend=headless-backend.so", "--idle-time=0"}, {}) {}

Weston::Weston(const Nested& nested)
    : Weston(NestedArgs(nested), {{"DISPLAY", nested.x_display}}) {}

Weston::Weston(const std::vector<std::string>& args, const Child::EnvChanges& env)
    : Compositor("weston") {
  std::vector<std::string> all{"--no-config", "--socket=" + socket()};
  all.insert(all.end(), args.begin(), args.end());
  // In our process group: weston takes its helper clients down with it.
  Start("weston", FindOnPath("weston"), all, env, -1, socket());
}

bool Mutter::Available() {
  return !FindOnPath("mutter").empty() && !FindOnPath("dbus-run-session").empty();
}

Mutter::Mutter() : Compositor("mutter") {
  // Its own process group, so that the session bus goes with it.
  Start("mutter", FindOnPath("dbus-run-session"),
        {"--", "mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor", "1280x1024",
         "--wayland-display=" + socket()},
        {}, 0, socket());
}

KWin::KWin(double scale) : Compositor("kwin") {
  const std::string installed = FindOnPath("kwin_wayland");
  const std::string dbus = FindOnPath("dbus-daemon");
  if (installed.empty() || dbus.empty()) {
    throw std::runtime_error(
        "kwin_wayland or dbus-daemon is not installed (scripts/install-deps test)");
  }
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
                        {"KWIN_SCREENSHOT_NO_PERMISSION_CHECKS", "1"}};
  // What it writes of its configuration stays in here.
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
    env[name] = runtime_dir();
  Start("kwin_wayland", binary,
        {"--virtual", "--width", "1920", "--height", "1200", "--scale", scale_arg, "--socket",
         socket(), "--no-lockscreen"},
        env, bus, socket());
}

namespace {

// setpriv's arguments that run what follows as `nobody`.
std::vector<std::string> AsNobody(const passwd& nobody) {
  return {"--reuid=" + std::to_string(nobody.pw_uid), "--regid=" + std::to_string(nobody.pw_gid),
          "--clear-groups", "--"};
}

}  // namespace

bool Sway::Available() {
  return !FindOnPath("sway").empty() && !FindOnPath("setpriv").empty();
}

Sway::Sway() : Compositor("sway") {
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
  std::vector<std::string> args = AsNobody(*nobody);
  args.insert(args.end(), {FindOnPath("sway"), "--config", config});
  // Its own process group, so that what its config starts goes with it.
  Compositor::Start("sway", FindOnPath("setpriv"), args,
                    {{"WLR_BACKENDS", "headless"},
                     {"WLR_RENDERER", "pixman"},
                     {"WLR_LIBINPUT_NO_DEVICES", "1"},
                     {"HOME", runtime_dir()}},
                    0, "sockets");
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

std::unique_ptr<Child> Sway::Launch(const std::string& path, const std::vector<std::string>& args,
                                    Child::EnvChanges env, const Spawn& spawn) const {
  env.merge(Environment());
  return std::make_unique<Child>(path, args, env, spawn);
}

std::optional<int> Sway::Run(const std::string& tool, const std::vector<std::string>& args,
                             std::string* output) const {
  const std::string path = FindOnPath(tool);
  if (path.empty())
    throw std::runtime_error(tool + " is not installed (scripts/install-deps test)");
  const auto child = Launch(path, args, {}, Spawn{.quiet = true});
  const auto status = child->Wait(std::chrono::seconds(30));
  if (output != nullptr) *output = child->Stderr();
  return status;
}

bool Sway::HasWindow(const std::string& title) const {
  std::string tree;
  return Run("swaymsg", {"-t", "get_tree"}, &tree) == 0 &&
         tree.find("\"name\": \"" + title + "\"") != std::string::npos;
}

SilentDisplay::SilentDisplay(Kind kind) : kind_(kind) {
  if (kind == Kind::kX11) {
    // A number no server uses: neither its socket nor its lock file exists.
    mkdir("/tmp/.X11-unix", 01777);
    chmod("/tmp/.X11-unix", 01777);
    for (int n = 700 + getpid() % 200; path_.empty() && n < 1000; ++n) {
      const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
      const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
      if (access(socket.c_str(), F_OK) != 0 && access(lock.c_str(), F_OK) != 0) {
        path_ = socket;
        name_ = ":" + std::to_string(n);
      }
    }
    if (path_.empty()) throw std::runtime_error("no free X display number");
  } else {
    char tmpl[] = "/tmp/glimmer-silent-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    runtime_dir_ = tmpl;
    name_ = "wayland-silent";
    path_ = runtime_dir_ + "/" + name_;
  }
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd_, 16) != 0) {
    throw std::runtime_error("cannot listen on " + path_);
  }
}

SilentDisplay::~SilentDisplay() {
  for (int c : clients_)
    close(c);
  if (fd_ >= 0) close(fd_);
  unlink(path_.c_str());
  if (!runtime_dir_.empty()) rmdir(runtime_dir_.c_str());
}

Child::EnvChanges SilentDisplay::Environment() const {
  if (kind_ == Kind::kX11) {
    return {
        {"DISPLAY", name_}, {"WAYLAND_DISPLAY", std::nullopt}, {"SDL_VIDEODRIVER", std::nullopt}};
  }
  return {{"DISPLAY", std::nullopt},
          {"WAYLAND_DISPLAY", name_},
          {"XDG_RUNTIME_DIR", runtime_dir_},
          {"SDL_VIDEODRIVER", std::nullopt}};
}

bool SilentDisplay::WaitForClient(std::chrono::milliseconds timeout) {
  pollfd pfd{fd_, POLLIN, 0};
  if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return false;
  const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return false;
  clients_.push_back(client);
  return true;
}

std::vector<std::string> GlLibrariesMapped(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::vector<std::string> found;
  std::string line;
  while (std::getline(maps, line)) {
    const auto slash = line.rfind('/');
    if (slash == std::string::npos) continue;
    const std::string name = line.substr(slash + 1);
    for (const char* gl : {"libEGL", "libGL", "libGLX", "libglapi", "_dri.so", "_mesa", "libLLVM",
                           "libgallium", "libvulkan"}) {
      if (name.find(gl) != std::string::npos &&
          std::find(found.begin(), found.end(), name) == found.end()) {
        found.push_back(name);
      }
    }
  }
  return found;
}

}  // namespace glimmer::testing
