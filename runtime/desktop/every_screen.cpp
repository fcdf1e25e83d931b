// The screensaver's window on every display where the desktop has no layers
// for it (X11, GNOME's mutter, weston): one process for each display, as
// SDL's runtime drives one window. This process covers the primary; the
// others are forked before it starts SDL, and the first to end ends them
// all, its way (input, a signal, an error) deciding how the whole ends.
#include <SDL3/SDL.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <functional>
#include <vector>

#include "runtime/desktop/backend.h"
#include "runtime/desktop/linux/linux_system.h"
#include "runtime/desktop/sdl_runtime.h"

namespace glimmer {

namespace {

namespace desktop = backend::linux_desktop;

// A companion's exit status when a signal, not the user, ended its window.
constexpr int kEndedAsAsked = 128 + SIGTERM;

// SDL is started once to count them; 1 where it cannot start, whose own
// start then says why.
int CountDisplays() {
  WindowSettings settings;
  settings.host = WindowSettings::Host::kScreen;
  int count = 1;
  try {
    backend::PrepareVideo(settings);
    if (SDL_Init(SDL_INIT_VIDEO)) {
      count = static_cast<int>(desktop::ScreenDisplays().size());
      SDL_Quit();
    }
  } catch (const StartupError&) {
  }
  desktop::StopAnswerTimeout();
  return count > 1 ? count : 1;
}

// How a companion that ended on its own did, once this process's window has
// ended too: as the user's input, or with the status the whole ends with.
struct CompanionEnd {
  bool by_input = false;
  int status = 0;
};

CompanionEnd ReadEnd(const siginfo_t& info, int display) {
  if (info.si_code == CLD_EXITED) {
    if (info.si_status == 0) return {.by_input = true};
    // It said why itself.
    return {.status = info.si_status == kEndedAsAsked ? 0 : info.si_status};
  }
  if (info.si_status == SIGTERM || info.si_status == SIGINT) return {};
  std::fprintf(stderr, "glimmerfeld: the screensaver on display %d ended by signal %d\n", display,
               info.si_status);
  return {.status = 1};
}

}  // namespace

namespace backend::linux_desktop {

int CoverDisplays(int displays, const std::function<int(int display)>& cover) {
  NewScreenWindows();
  const pid_t parent = getpid();
  std::vector<pid_t> companions;
  for (int display = 1; display < displays; ++display) {
    const pid_t pid = fork();
    if (pid == 0) {
      ForgetCompanions();
      // Left alone (this process killed outright), a companion ends too.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(0);
      int status = 1;
      try {
        status = cover(display);
        if (status == 0 && !TakeEndedByInput()) status = kEndedAsAsked;
      } catch (const std::exception& e) {
        std::fprintf(stderr, "glimmerfeld: %s\n", e.what());
      }
      // Nothing of the parent's is the companion's to flush or destroy.
      _exit(status);
    }
    if (pid < 0) {
      std::perror("glimmerfeld: cannot start the screensaver on another display");
      break;
    }
    if (!FollowCompanion(pid)) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
      std::fprintf(stderr, "glimmerfeld: the screensaver covers only the first %d displays\n",
                   display);
      break;
    }
    companions.push_back(pid);
  }
  int status = cover(0);
  CompanionEnd first;
  for (std::size_t i = 0; i < companions.size(); ++i) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(companions[i]), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid != 0) {
      const CompanionEnd end = ReadEnd(info, static_cast<int>(i) + 1);
      first.by_input = first.by_input || end.by_input;
      if (first.status == 0) first.status = end.status;
    } else {
      kill(companions[i], SIGTERM);
    }
  }
  for (const pid_t pid : companions) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  ForgetCompanions();
  if (status == 0) status = first.status;
  if (status == 0 && first.by_input) EndAsInput();
  return status;
}

}  // namespace backend::linux_desktop

int CoverEveryScreen(const std::function<int(int display)>& cover) {
  return desktop::CoverDisplays(CountDisplays(), cover);
}

bool TakeScreenEndedByInput() {
  return desktop::TakeEndedByInput();
}

}  // namespace glimmer
