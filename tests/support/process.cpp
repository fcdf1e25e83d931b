#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace glimmer::testing {
namespace {

std::vector<char*> Argv(std::vector<std::string>& storage) {
  std::vector<char*> argv;
  for (auto& s : storage)
    argv.push_back(s.data());
  argv.push_back(nullptr);
  return argv;
}

}  // namespace

Child::Child(const std::string& path, const std::vector<std::string>& args, const EnvChanges& env) {
  char tmpl[] = "/tmp/glimmer-stderr-XXXXXX";
  const int fd = mkstemp(tmpl);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  stderr_path_ = tmpl;
  std::vector<std::string> storage{path};
  storage.insert(storage.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    for (const auto& [name, value] : env) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    dup2(fd, STDERR_FILENO);
    auto argv = Argv(storage);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
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

std::string Child::Stderr() const {
  std::ifstream in(stderr_path_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Xvfb::Xvfb(const std::vector<std::string>& extra_args, const std::string& screen) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> storage{
      "Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen, "-nolisten", "tcp"};
  storage.insert(storage.end(), extra_args.begin(), extra_args.end());
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    close(fds[0]);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    auto argv = Argv(storage);
    execvp("Xvfb", argv.data());
    _exit(127);
  }
  close(fds[1]);
  // Xvfb writes its display number once it accepts connections.
  std::string number;
  pollfd pfd{fds[0], POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    if (poll(&pfd, 1, 100) > 0) {
      char buf[32];
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      number.append(buf, static_cast<std::size_t>(n));
    }
  }
  close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    Kill();
    throw std::runtime_error("Xvfb did not start");
  }
  display_ = ":" + number.substr(0, number.find('\n'));
}

Xvfb::~Xvfb() {
  Kill();
}

void Xvfb::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int raw = 0;
  waitpid(pid_, &raw, 0);
  pid_ = -1;
}

}  // namespace glimmer::testing

namespace glimmer::testing {

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

}  // namespace

bool Weston::Available() {
  return !FindOnPath("weston").empty() && HasHeadlessBackend();
}

Weston::Weston() {
  Start({"--backend=headless-backend.so"}, "");
}

Weston::Weston(const Nested& nested) {
  std::vector<std::string> args{
      "--backend=x11-backend.so", "--use-pixman", "--width=" + std::to_string(nested.width),
      "--height=" + std::to_string(nested.height), "--scale=" + std::to_string(nested.scale)};
  if (nested.kiosk) args.push_back("--shell=kiosk-shell.so");
  args.push_back("--idle-time=" + std::to_string(nested.idle_seconds));
  Start(args, nested.x_display);
}

void Weston::Start(const std::vector<std::string>& args, const std::string& x_display) {
  char tmpl[] = "/tmp/glimmer-wayland-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  runtime_dir_ = tmpl;  // mkdtemp makes it 0700, as Wayland requires
  const std::string weston = FindOnPath("weston");
  std::vector<std::string> storage{weston, "--no-config", "--socket=" + socket_};
  storage.insert(storage.end(), args.begin(), args.end());
  // The last --idle-time wins: headless never idles.
  if (x_display.empty()) storage.push_back("--idle-time=0");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    setenv("XDG_RUNTIME_DIR", runtime_dir_.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    if (x_display.empty()) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", x_display.c_str(), 1);
    }
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    auto argv = Argv(storage);
    execv(weston.c_str(), argv.data());
    _exit(127);
  }
  // Weston creates its socket once it accepts clients.
  const std::string path = runtime_dir_ + "/" + socket_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (access(path.c_str(), F_OK) != 0) {
    if (!Running() || std::chrono::steady_clock::now() >= deadline) {
      Stop();
      throw std::runtime_error("weston did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Weston::~Weston() {
  Stop();
}

bool Weston::Running() {
  if (pid_ <= 0) return false;
  int raw = 0;
  if (waitpid(pid_, &raw, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void Weston::Signal(int sig) {
  if (Running()) kill(pid_, sig);
}

void Weston::Stop() {
  Signal(SIGCONT);  // a stopped one would never see the SIGTERM
  if (Running()) {
    // Weston takes its helper clients down with it on SIGTERM.
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (Running()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  if (!runtime_dir_.empty()) {
    // Only weston's own files are in there: its socket and lock.
    std::filesystem::remove_all(runtime_dir_);
    runtime_dir_.clear();
  }
}

bool Mutter::Available() {
  return !FindOnPath("mutter").empty() && !FindOnPath("dbus-run-session").empty();
}

Mutter::Mutter() {
  char tmpl[] = "/tmp/glimmer-mutter-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  runtime_dir_ = tmpl;
  const std::string dbus = FindOnPath("dbus-run-session");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // Its own process group, so that the session bus goes with it.
    setpgid(0, 0);
    setenv("XDG_RUNTIME_DIR", runtime_dir_.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("DISPLAY");
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    std::vector<std::string> storage{dbus,
                                     "--",
                                     "mutter",
                                     "--headless",
                                     "--wayland",
                                     "--no-x11",
                                     "--virtual-monitor",
                                     "1280x1024",
                                     "--wayland-display=" + socket_};
    auto argv = Argv(storage);
    execv(dbus.c_str(), argv.data());
    _exit(127);
  }
  setpgid(pid_, pid_);
  const std::string path = runtime_dir_ + "/" + socket_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (access(path.c_str(), F_OK) != 0) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_ || std::chrono::steady_clock::now() >= deadline) {
      Stop();
      throw std::runtime_error("mutter did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Mutter::~Mutter() {
  Stop();
}

void Mutter::Stop() {
  if (pid_ > 0) {
    kill(-pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
  }
  if (!runtime_dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(runtime_dir_, ec);
    runtime_dir_.clear();
  }
}

namespace {

// Waits for `path` to appear while `pid` runs; false when it ends first (and
// `pid` becomes -1, reaped) or the time-out passes.
bool WaitForPath(const std::string& path, pid_t& pid, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (access(path.c_str(), F_OK) != 0) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Ends one child: SIGTERM, then SIGKILL if it lingers. `group` signals its
// whole process group instead.
void EndChild(pid_t pid, bool group) {
  if (pid <= 0) return;
  kill(group ? -pid : pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    const pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || r < 0) return;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(group ? -pid : pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

KWin::KWin(double scale) {
  char tmpl[] = "/tmp/glimmer-kwin-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  runtime_dir_ = tmpl;
  const std::string installed = FindOnPath("kwin_wayland");
  const std::string dbus = FindOnPath("dbus-daemon");
  if (installed.empty() || dbus.empty()) {
    Stop();
    throw std::runtime_error(
        "kwin_wayland or dbus-daemon is not installed (scripts/install-deps test)");
  }
  // A copy made by us carries no file capability.
  const std::string binary = runtime_dir_ + "/kwin_wayland";
  std::error_code ec;
  std::filesystem::copy_file(installed, binary, ec);
  if (ec) {
    Stop();
    throw std::runtime_error("cannot copy " + installed + ": " + ec.message());
  }
  const std::string log = runtime_dir_ + "/log";
  const std::string bus_socket = runtime_dir_ + "/bus";
  bus_address_ = "unix:path=" + bus_socket;
  char scale_arg[32];
  std::snprintf(scale_arg, sizeof scale_arg, "%g", scale);

  // The bus first, in a process group of its own that KWin joins, so that
  // anything either starts goes with them.
  bus_pid_ = fork();
  if (bus_pid_ < 0) {
    Stop();
    throw std::runtime_error("fork failed");
  }
  if (bus_pid_ == 0) {
    setpgid(0, 0);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    std::vector<std::string> storage{dbus, "--session", "--nofork", "--nopidfile",
                                     "--address=" + bus_address_};
    auto argv = Argv(storage);
    execv(dbus.c_str(), argv.data());
    _exit(127);
  }
  setpgid(bus_pid_, bus_pid_);
  if (!WaitForPath(bus_socket, bus_pid_, std::chrono::seconds(20))) {
    const std::string message = "dbus-daemon did not start: " + Log();
    Stop();
    throw std::runtime_error(message);
  }

  pid_ = fork();
  if (pid_ < 0) {
    Stop();
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    setpgid(0, bus_pid_);
    setenv("XDG_RUNTIME_DIR", runtime_dir_.c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", bus_address_.c_str(), 1);
    // No display server for Qt's own windows: KWin is the display server.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Its screenshots are otherwise for the programs that a desktop file
    // grants them to.
    setenv("KWIN_SCREENSHOT_NO_PERMISSION_CHECKS", "1", 1);
    // What it writes of its configuration stays in here.
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
      setenv(name, runtime_dir_.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("WAYLAND_SOCKET");
    unsetenv("DISPLAY");
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    std::vector<std::string> storage{binary,     "--virtual", "--width",        "1920",
                                     "--height", "1200",      "--scale",        scale_arg,
                                     "--socket", socket_,     "--no-lockscreen"};
    auto argv = Argv(storage);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  setpgid(pid_, bus_pid_);
  if (!WaitForPath(runtime_dir_ + "/" + socket_, pid_, std::chrono::seconds(30))) {
    const std::string message = "kwin_wayland did not start: " + Log();
    Stop();
    throw std::runtime_error(message);
  }
}

KWin::~KWin() {
  Stop();
}

bool KWin::Running() {
  if (pid_ <= 0) return false;
  if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

std::string KWin::Log() const {
  std::ifstream in(runtime_dir_ + "/log");
  std::stringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  // The end says why it stopped; its start is the same every time.
  constexpr std::size_t kTail = 3000;
  if (text.size() > kTail) text = "..." + text.substr(text.size() - kTail);
  return text;
}

void KWin::Stop() {
  if (Running()) EndChild(pid_, false);
  pid_ = -1;
  EndChild(bus_pid_, true);
  bus_pid_ = -1;
  if (!runtime_dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(runtime_dir_, ec);
    runtime_dir_.clear();
  }
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
