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

std::string TempFile(const std::string& name) {
  std::string path = "/tmp/glimmer-" + name + "-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  close(fd);
  return path;
}

std::vector<std::string> AsNobody(const std::vector<std::string>& command) {
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) throw std::runtime_error("there is no user nobody");
  std::vector<std::string> args{"--reuid=" + std::to_string(nobody->pw_uid),
                                "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups",
                                "--"};
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

std::string ProgramUnderTest(const std::string& built) {
  const char* program = std::getenv("GLIMMERFELD_PROGRAM");
  return program != nullptr && *program != '\0' ? program : built;
}

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
  const auto deadline = std::chrono::steady_clock::now() + kDisplayStartTimeout;
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

long ResidentKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

int OpenFds(pid_t pid) {
  std::error_code ec;
  int count = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
       !ec && it != end; it.increment(ec))
    ++count;
  return count;
}

}  // namespace glimmer::testing
